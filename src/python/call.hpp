// The shared course of a generator call: bind the arguments, take the
// object's borrow, read the table, blank cells in the matrix, and hand back
// an object of the caller's kind.
#pragma once

#include <Python.h>

#include <array>
#include <utility>

#include "base/messages.hpp"
#include "python/arguments.hpp"
#include "python/borrow.hpp"
#include "python/boundary.hpp"

#include "generators/matrix.hpp"
#include "pool/thread_pool.hpp"
#include "python/buffer.hpp"
#include "python/intake.hpp"
#include "python/output.hpp"
#include "python/pyref.hpp"

namespace gapweave::py {

// Reads `data`, runs `punch(Matrix) -> Matrix` on its matrix and assembles
// the result.
template <class Punch>
Owned call_on_table(PyObject* data, Punch&& punch) {
    Intake intake = pyany_to_vec(data);
    if (cell_count(intake.rows, intake.cols) != intake.data.size()) {
        raise(PyExc_ValueError, messages::kIncompatibleShapes);
    }
    Matrix matrix{intake.rows, intake.cols, std::move(intake.data)};
    matrix = punch(std::move(matrix));
    // The matrix's cells move into the result where its kind allows.
    return arr_to_out(std::move(matrix.data), matrix.rows, matrix.cols, std::move(intake.out),
                      std::move(intake.encoding));
}

// The interrupt check of a call: runs the handlers of the signals that have
// arrived (the main thread only; elsewhere it finds none). True when a
// handler raised, whose exception is then set.
inline bool signal_raised() { return PyErr_CheckSignals() != 0; }

// The __call__(data, alpha) slot of a generator class: runs
// `punch(record, matrix, alpha) -> Matrix` under the object's exclusive
// borrow, with the record's pool restarted first in a forked child and
// interrupted by signals. Returns a new reference, or NULL with the error set.
template <class Instance, class Punch>
PyObject* generator_call(PyObject* self, PyObject* args, PyObject* kwargs,
                         const Signature& signature, Punch&& punch) {
    return boundary<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 2> slots{};
        bind_arguments(signature, args, kwargs, slots);
        auto& body = Instance::of(self).body;
        BorrowFlag::Exclusive borrow(body.borrow);
        // The calling thread stays attached while it waits for the pool,
        // and looks for signals as it waits.
        ThreadPool::Call pool_call(body.record.pool, signal_raised);
        const double alpha = to_f64(slots[1], "alpha");
        return call_on_table(
                   slots[0],
                   [&](Matrix matrix) { return punch(body.record, std::move(matrix), alpha); })
            .release();
    });
}

}  // namespace gapweave::py
