// Texts that users and the tests read word for word. They keep the wording
// (spelling slips included) that callers already match on, so each is
// written once, here, with the test that pins it: change one and that test
// fails. In the order of the layers: pool, generators, Python binding.
#pragma once

namespace gapweave::messages {

// A send on a channel whose receiver is gone. Pinned by
// tests/cpp/test_thread_pool.cpp (Channel.SendWithoutReceiverFails, and
// Pool.SendAfterReceiverIsGoneFailsOnlyThatJob for its "SendError").
inline constexpr const char* kSendFailed =
    "called `Result::unwrap()` on an `Err` value: SendError { .. }";

// A job handed to a pool whose queue is closed; ends in the same
// "SendError { .. }" as kSendFailed, which is what callers match on.
inline constexpr const char* kQueueClosed =
    "ThreadPool::execute unable to send job into queue.: SendError { .. }";

// MAR: more hole columns than columns. Pinned by
// tests/python/test_mar_call.py::test_mid_greater_than_len.
inline constexpr const char* kMoreHolesThanColumns = "mid > len";

// MAR on a table without rows or columns. Pinned by
// tests/python/test_mar_call.py::test_empty_input.
inline constexpr const char* kEmptyCorrelation =
    "Failed to calculate pearson_correlation: EmptyInput";

// MAR's rate cap, followed by the cap. Pinned by
// tests/python/test_mar_call.py::test_rate_cap_warns_and_nine_columns_take_holes
// and tests/python/test_cross_platform.py.
inline constexpr const char* kRateTooHigh =
    "Warning: Missing rate too high to ensure MAR properties! Maximum missing rate: ";

// A pass drew a NaN target. Pinned by
// tests/python/test_mnar_call.py::test_existing_missing_cell_fails_with_sample_is_nan.
inline constexpr const char* kSampleIsNan = "Sample is nan";

// A column with no cell left to blank. Pinned by
// tests/python/test_mnar_call.py::test_a_call_past_the_last_cell_stops_only_past_its_threshold
// (the reports on stderr) and tests/python/test_reference.py (their columns).
inline constexpr const char* kNoArgmin = "No argmin found!";

// The planned path refuses a hole column driven by a column that is itself
// driven by another. Pinned by tests/cpp/test_planned_paths.cpp
// (PlannedPathsSharedDriver.ChainedDriversAreAFault).
inline constexpr const char* kChainedDrivers =
    "a hole column's driver is driven by another hole column";

// An unknown generator mode: kUnknownMode, the mode as given, kAllowedModes.
// Pinned by tests/python/test_constructors.py::test_unknown_modes.
inline constexpr const char* kUnknownMode = "Unknown mode parameter: ";
inline constexpr const char* kAllowedModes = " (Alloed: [\"GM\", \"MAX\", \"MIN\"])";

// A table whose cells do not fill its shape, raised as ValueError. No test
// reaches it through the module: intake always fills the shape.
inline constexpr const char* kIncompatibleShapes =
    "ShapeError/IncompatibleShape: incompatible shapes";

}  // namespace gapweave::messages
