// The Python class MAR.
#include <array>

#include "generators/mar.hpp"
#include "python/arguments.hpp"
#include "python/boundary.hpp"
#include "python/call.hpp"
#include "python/errors.hpp"
#include "python/instance.hpp"
#include "python/process_cell.hpp"
#include "python/text.hpp"
#include "python/types.hpp"
#include "random/thread_rng.hpp"

namespace gapweave::py {

namespace {

using MarInstance = Instance<MAR>;

constexpr const char* kNewNames[] = {"mean", "variance", "max_missing_per_column",
                                     "mode", "seed",     "n_workers"};
constexpr Signature kNewSignature{"MAR.__new__()", kNewNames, false};
constexpr const char* kCallNames[] = {"data", "alpha"};
constexpr Signature kCallSignature{"MAR.__call__()", kCallNames, true};
constexpr const char* kAdjustNames[] = {"n_cols", "alpha"};
constexpr Signature kAdjustSignature{"MAR._adjust_alpha()", kAdjustNames, true};

// Issues the rate-cap warning as a UserWarning. When the warning machinery
// fails (warnings turned into errors, say) that is an internal fault.
void warn_user(const std::string& message) {
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 0) == 0) return;
    Owned error = take_raised_exception();
    Owned traceback = Owned::steal(PyException_GetTraceback(error.get()));
    Owned description =
        Owned::steal(PyUnicode_FromFormat("PyErr { type: %R, value: %R, traceback: %R }",
                                          reinterpret_cast<PyObject*>(Py_TYPE(error.get())),
                                          error.get(), traceback ? traceback.get() : Py_None));
    std::string text = description ? utf8_of(description.get()).value_or("") : "";
    PyErr_Clear();
    throw Fault("Something went wrong..: " + text);
}

PyObject* mar_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 6> slots{};
        bind_arguments(kNewSignature, args, kwargs, slots);
        const auto [mean_arg, variance_arg, cap_arg, mode_arg, seed_arg, workers_arg] = slots;

        const double mean = absent(mean_arg) ? 0.5 : to_f64(mean_arg, "mean");
        const double variance = absent(variance_arg) ? 0.0 : to_f64(variance_arg, "variance");
        // None is not a default here: it fails the float conversion.
        const double cap = cap_arg == nullptr ? 0.8 : to_f64(cap_arg, "max_missing_per_column");
        const ModeText mode_text =
            mode_arg == nullptr ? ModeText{"GM", nullptr} : to_mode_text(mode_arg, "mode");
        const std::optional<std::uint64_t> seed =
            absent(seed_arg) ? std::nullopt : std::optional(to_u64(seed_arg, "seed"));
        const std::uint32_t workers = absent(workers_arg) ? 6 : to_u32(workers_arg, "n_workers");

        // One value is drawn from the thread's OS-seeded generator at every
        // construction, before the given seed is looked at.
        const std::uint64_t fallback_seed = thread_rng_next_u64();
        RandomSource rng = RandomSource::seed_from_u64(seed.value_or(fallback_seed));
        ThreadPool pool(workers);
        const Mode mode = !mode_text.text ? Mode::GM : parse_mode(mode_text);
        return MarInstance::create(type, MAR{mean, variance, cap, mode, rng, std::move(pool)})
            .release();
    });
}

PyObject* mar_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return generator_call<MarInstance>(
        self, args, kwargs, kCallSignature, [](auto& generator, Matrix matrix, double alpha) {
            return generator.punch(std::move(matrix), alpha, warn_user);
        });
}

PyObject* mar_adjust_alpha(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return boundary<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 2> slots{};
        bind_arguments(kAdjustSignature, args, nargs, kwnames, slots);
        auto& body = MarInstance::of(self).body;
        BorrowFlag::Shared borrow(body.borrow);
        const std::uint32_t n_cols = to_u32(slots[0], "n_cols");
        const double alpha = to_f64(slots[1], "alpha");
        const double rate = body.record.adjust_alpha(static_cast<double>(n_cols), alpha, warn_user);
        return require(PyFloat_FromDouble(rate)).release();
    });
}

PyObject* mar_repr(PyObject* self) {
    return boundary<PyObject*>(nullptr, [&] {
        BorrowFlag::Shared borrow(MarInstance::of(self).body.borrow);
        return make_str("MAR").release();
    });
}

PyMethodDef kMethods[] = {
    {"_adjust_alpha", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mar_adjust_alpha)),
     METH_FASTCALL | METH_KEYWORDS, "_adjust_alpha($self, n_cols, alpha)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("MAR(mean=None, variance=None, max_missing_per_column=..., "
                                  "mode=\"GM\", seed=None, n_workers=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(mar_new)},
    {Py_tp_call, reinterpret_cast<void*>(mar_call)},
    {Py_tp_repr, reinterpret_cast<void*>(mar_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(MarInstance::dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "gapweave.MAR", static_cast<int>(sizeof(MarInstance)), 0, kTypeFlags, kSlots,
};

}  // namespace

Borrowed mar_type() {
    static ProcessCell type;
    return type.get([] { return require(PyType_FromSpec(&kSpec)); });
}

}  // namespace gapweave::py
