// Shared and exclusive use of an instance for the length of a call: a call
// that re-enters the object (through a value's __float__, say) while another
// call holds it in a conflicting way is refused instead of seeing it half-changed.
#include "frame.hpp"

namespace kestrix::python {

AccessGuard::~AccessGuard() {
    if (object_ == nullptr) return;
    if (access_ == Access::Exclusive) {
        object_->borrow_flag = 0;
    } else {
        object_->borrow_flag -= 1;
    }
}

bool AccessGuard::acquire(PyObject* self, Access access) noexcept {
    if (access == Access::None) return true;
    KestrixObject& object = as_kestrix(self);
    if (access == Access::Shared) {
        if (object.borrow_flag == -1) {
            raise(PyExc_RuntimeError, "Already mutably borrowed");
            return false;
        }
        object.borrow_flag += 1;
    } else {
        if (object.borrow_flag != 0) {
            raise(PyExc_RuntimeError, "Already borrowed");
            return false;
        }
        object.borrow_flag = -1;
    }
    object_ = &object;
    access_ = access;
    return true;
}

}  // namespace kestrix::python
