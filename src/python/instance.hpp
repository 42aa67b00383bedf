// Layout and life cycle of a generator's Python object: the object header,
// the generator record and the borrow flag.
#pragma once

#include <Python.h>

#include <memory>
#include <new>
#include <utility>

#include "python/borrow.hpp"
#include "python/boundary.hpp"
#include "python/pyref.hpp"

namespace gapweave::py {

template <class Record>
struct Instance {
    PyObject_HEAD struct Body {
        Record record;
        BorrowFlag borrow;
    } body;

    static Instance& of(PyObject* self) { return *reinterpret_cast<Instance*>(self); }

    // Allocates an instance of `type` and moves `record` into it.
    static Owned create(PyTypeObject* type, Record&& record) {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        Owned self = require(alloc(type, 0));
        Body& body = of(self.get()).body;
        std::construct_at(&body.record, std::move(record));
        std::construct_at(&body.borrow);
        return self;
    }

    // Drops the record (which closes the worker pool without waiting for it)
    // and frees the object; a failure goes to the unraisable hook.
    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        boundary_unraisable(reinterpret_cast<PyObject*>(type),
                            [&] { std::destroy_at(&of(self).body); });
        auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free(self);
        Py_DECREF(type);
    }
};

}  // namespace gapweave::py
