#include "python/cell_owner.hpp"

#include <memory>
#include <utility>

#include "python/process_cell.hpp"

namespace gapweave::py {

namespace {

struct CellOwner {
    PyObject_HEAD std::vector<double> cells;
};

CellOwner& owner_of(PyObject* self) noexcept { return *reinterpret_cast<CellOwner*>(self); }

void owner_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&owner_of(self).cells);  // frees the cells; never throws
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// The cells as writable bytes; the vector is never resized after it moved
// in, so the exported address stays valid while any view of it lives.
int owner_get_buffer(PyObject* self, Py_buffer* view, int flags) {
    std::vector<double>& cells = owner_of(self).cells;
    const auto bytes = static_cast<Py_ssize_t>(cells.size() * sizeof(double));
    return PyBuffer_FillInfo(view, self, cells.data(), bytes, /*readonly=*/0, flags);
}

PyType_Slot kOwnerSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(owner_get_buffer)},
    {Py_tp_doc, const_cast<char*>("Holds the cells of a gapweave result array.")},
    {0, nullptr},
};

PyType_Spec kOwnerSpec = {
    "gapweave._CellOwner",
    static_cast<int>(sizeof(CellOwner)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    kOwnerSlots,
};

// Owners may outlive the module object.
PyTypeObject* owner_type() {
    static ProcessCell type;
    return reinterpret_cast<PyTypeObject*>(
        type.get([] { return require(PyType_FromSpec(&kOwnerSpec)); }).get());
}

}  // namespace

Owned own_cells(std::vector<double>&& cells) {
    PyTypeObject* type = owner_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Owned self = require(alloc(type, 0));
    // Nothing between the allocation and this can fail, so the object's
    // dealloc never meets an unconstructed vector.
    std::construct_at(&owner_of(self.get()).cells, std::move(cells));
    return self;
}

double* owned_cells(PyObject* owner) noexcept { return owner_of(owner).cells.data(); }

}  // namespace gapweave::py
