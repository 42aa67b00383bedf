// The Python class MNARrs.
#include <array>

#include "base/float_format.hpp"
#include "generators/mnar.hpp"
#include "python/arguments.hpp"
#include "python/boundary.hpp"
#include "python/call.hpp"
#include "python/instance.hpp"
#include "python/process_cell.hpp"
#include "python/text.hpp"
#include "python/types.hpp"
#include "random/seed.hpp"

namespace gapweave::py {

namespace {

using MnarInstance = Instance<MNAR>;

constexpr const char* kNewNames[] = {"mean", "variance", "mode", "seed", "n_workers"};
constexpr Signature kNewSignature{"MNARrs.__new__()", kNewNames, false};
constexpr const char* kCallNames[] = {"data", "alpha"};
constexpr Signature kCallSignature{"MNARrs.__call__()", kCallNames, true};

PyObject* mnar_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 5> slots{};
        bind_arguments(kNewSignature, args, kwargs, slots);
        const auto [mean_arg, variance_arg, mode_arg, seed_arg, workers_arg] = slots;

        const double mean = absent(mean_arg) ? 0.5 : to_f64(mean_arg, "mean");
        const double variance = absent(variance_arg) ? 0.0 : to_f64(variance_arg, "variance");
        const ModeText mode_text =
            mode_arg == nullptr ? ModeText{"GM", nullptr} : to_mode_text(mode_arg, "mode");
        const std::optional<std::uint64_t> seed =
            absent(seed_arg) ? std::nullopt : std::optional(to_u64(seed_arg, "seed"));
        const std::uint32_t workers = absent(workers_arg) ? 6 : to_u32(workers_arg, "n_workers");

        // The clock is read at every construction, also when a seed is given.
        const std::uint64_t fallback_seed = clock_seed();
        RandomSource rng = RandomSource::seed_from_u64(seed.value_or(fallback_seed));
        ThreadPool pool(workers);
        const Mode mode = !mode_text.text ? Mode::GM : parse_mode(mode_text);
        return MnarInstance::create(type, MNAR{mean, variance, mode, rng, std::move(pool)})
            .release();
    });
}

PyObject* mnar_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return generator_call<MnarInstance>(self, args, kwargs, kCallSignature,
                                        [](auto& generator, Matrix matrix, double alpha) {
                                            return generator.punch(std::move(matrix), alpha);
                                        });
}

PyObject* mnar_repr(PyObject* self) {
    return boundary<PyObject*>(nullptr, [&] {
        auto& body = MnarInstance::of(self).body;
        BorrowFlag::Shared borrow(body.borrow);
        return make_str("MNAR[" + format_float(body.record.mean) + "]").release();
    });
}

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "MNARrs(mean=None, variance=None, mode=\"GM\", seed=None, n_workers=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(mnar_new)},
    {Py_tp_call, reinterpret_cast<void*>(mnar_call)},
    {Py_tp_repr, reinterpret_cast<void*>(mnar_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(MnarInstance::dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "gapweave.MNARrs", static_cast<int>(sizeof(MnarInstance)), 0, kTypeFlags, kSlots,
};

}  // namespace

Borrowed mnar_type() {
    static ProcessCell type;
    return type.get([] { return require(PyType_FromSpec(&kSpec)); });
}

}  // namespace gapweave::py
