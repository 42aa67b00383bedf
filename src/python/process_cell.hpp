// A Python object made on first use and kept for the life of the process:
// the module's classes, PanicException, the result arrays' owner type and
// NumPy's API capsule. The module runs in one interpreter only, and what is
// kept here may outlive the module object (result arrays keep their owner
// type alive, for one).
#pragma once

#include <Python.h>

#include <atomic>

#include "python/pyref.hpp"

namespace gapweave::py {

class ProcessCell {
public:
    // The object kept, or the one `make()` returns (an Owned reference;
    // ErrorSet on failure), which is kept from then on. Threads that race
    // may each make one: the first one stored is kept, the others dropped.
    template <class Make>
    Borrowed get(Make&& make) {
        if (PyObject* object = object_.load(std::memory_order_acquire)) return object;
        Owned made = make();
        PyObject* expected = nullptr;
        if (object_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
            return made.release();  // the cell holds this reference for good
        }
        return expected;
    }

private:
    std::atomic<PyObject*> object_{nullptr};
};

}  // namespace gapweave::py
