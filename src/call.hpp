// The shared course of a generator call: read the table, blank cells in the
// matrix, and hand back an object of the caller's kind.
#pragma once

#include <Python.h>

#include "generators/common.hpp"
#include "utils/python/buffer.hpp"
#include "utils/python/intake.hpp"
#include "utils/python/output.hpp"
#include "utils/python/pyref.hpp"

namespace gapweave::py {

// Reads `data`, runs `punch(Matrix) -> Matrix` on its matrix and assembles
// the result.
template <class Punch>
Owned call_on_table(PyObject* data, Punch&& punch) {
    Intake intake = pyany_to_vec(data);
    if (cell_count(intake.rows, intake.cols) != intake.data.size()) {
        raise(PyExc_ValueError, "ShapeError/IncompatibleShape: incompatible shapes");
    }
    Matrix matrix{intake.rows, intake.cols, std::move(intake.data)};
    matrix = punch(std::move(matrix));
    // The matrix's cells move into the result where its kind allows.
    return arr_to_out(std::move(matrix.data), matrix.rows, matrix.cols, std::move(intake.out),
                      std::move(intake.encoding));
}

}  // namespace gapweave::py
