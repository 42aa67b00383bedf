#include "python/numpy_api.hpp"

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/fault.hpp"
#include "python/buffer.hpp"
#include "python/cell_owner.hpp"
#include "python/errors.hpp"
#include "python/process_cell.hpp"
#include "python/pyref.hpp"
#include "python/text.hpp"

namespace gapweave::py::numpy {

namespace {

// Slots of the NumPy C API table; each has the same number in NumPy 1.x
// and 2.x (2.x emptied the slots of removed functions but moved none).
// PyArray_SetBaseObject came with NumPy 1.7 (API version 7).
constexpr std::size_t kSlotArrayType = 2;
constexpr std::size_t kSlotDescrFromType = 45;
constexpr std::size_t kSlotNewFromDescr = 94;
constexpr std::size_t kSlotEquivTypes = 182;
constexpr std::size_t kSlotSetBaseObject = 282;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*,
                                   void*, int, PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

// NumPy 2 moved its core package to numpy._core; pick by the major version.
const char* multiarray_module_name() {
    Owned numpy = require(PyImport_ImportModule("numpy"));
    Owned version = require(PyObject_GetAttrString(numpy.get(), "__version__"));
    const std::string text(utf8_view(version.get()));
    const int major = std::atoi(text.c_str());
    return major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

// NumPy's capsule holding its C API table, kept with the table (which
// lives as long as NumPy, never unloaded) for the life of the process.
Owned load_capsule() {
    Owned module = require(PyImport_ImportModule(multiarray_module_name()));
    Owned capsule = require(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (PyCapsule_GetPointer(capsule.get(), nullptr) == nullptr) throw ErrorSet{};
    return capsule;
}

ProcessCell g_capsule;

// The table, loaded on first use.
void** api() {
    try {
        Borrowed capsule = g_capsule.get(load_capsule);
        return static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    } catch (const ErrorSet&) {
        throw fault_from_error("Failed to access NumPy array API capsule");
    }
}

}  // namespace

void ensure_loaded() { api(); }

bool is_array(PyObject* object) {
    auto* type = static_cast<PyTypeObject*>(api()[kSlotArrayType]);
    return PyObject_TypeCheck(object, type);
}

bool has_float64_dtype(PyObject* array) {
    auto descr_from_type = reinterpret_cast<DescrFromType>(api()[kSlotDescrFromType]);
    auto equiv = reinterpret_cast<EquivTypes>(api()[kSlotEquivTypes]);
    Owned float64 = require(descr_from_type(kTypeDouble));
    return equiv(fields(array).descr, float64.get()) != 0;
}

namespace {

// A new C-ordered float64 array of shape (rows, cols): with memory of its
// own when `data` is null, otherwise viewing `data` (without owning it)
// with `flags`.
Owned new_float64_view(std::size_t rows, std::size_t cols, void* data, int flags) {
    auto descr_from_type = reinterpret_cast<DescrFromType>(api()[kSlotDescrFromType]);
    auto new_from_descr = reinterpret_cast<NewFromDescr>(api()[kSlotNewFromDescr]);
    auto* type = static_cast<PyTypeObject*>(api()[kSlotArrayType]);
    Owned descr = require(descr_from_type(kTypeDouble));
    const npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    // NewFromDescr steals the descriptor reference, also on failure.
    return require(new_from_descr(type, descr.release(), 2, dims, nullptr, data, flags, nullptr));
}

}  // namespace

Owned new_float64_array(const double* values, std::size_t rows, std::size_t cols) {
    Owned array = new_float64_view(rows, cols, nullptr, 0);
    if (rows != 0 && cols != 0) {
        std::memcpy(fields(array.get()).data, values, rows * cols * sizeof(double));
    }
    return array;
}

Owned adopt_float64_array(std::vector<double>&& cells, std::size_t rows, std::size_t cols) {
    const std::size_t count = cell_count(rows, cols);
    if (count != cells.size()) throw Fault("matrix cells do not match its shape");
    // NumPy allocates room of its own for an empty shape (the vector may
    // have no memory at all); nothing to copy into it.
    if (count == 0) return new_float64_view(rows, cols, nullptr, 0);

    auto set_base_object = reinterpret_cast<SetBaseObject>(api()[kSlotSetBaseObject]);
    // From here on the owner holds the cells: dropping it frees them.
    Owned owner = own_cells(std::move(cells));
    Owned array = new_float64_view(rows, cols, owned_cells(owner.get()),
                                   kCContiguous | kAligned | kWriteable);
    // SetBaseObject takes the owner's reference whether or not it succeeds;
    // on failure the owner (and the cells) go first, then the array, whose
    // deallocation never touches memory it doesn't own.
    require_status(set_base_object(array.get(), owner.release()));
    return array;
}

}  // namespace gapweave::py::numpy
