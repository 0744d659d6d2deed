// Owning handle for one strong reference to a Python object.
#pragma once

#include <utility>

#include "frame/compat.hpp"
#include "core/memory.hpp"

namespace velkorin {

// The frame allocates through the cores' allocator (core/memory.hpp), so that
// running out of memory ends the process the same way everywhere.
using core::String;
using core::Vec;

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    OwnedRef(OwnedRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    // The old referent is released only after the new one is in place, so a
    // finalizer that runs during the release sees a consistent owner.
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        OwnedRef old(std::move(*this));
        ptr_ = std::exchange(other.ptr_, nullptr);
        return *this;
    }
    ~OwnedRef() {
        if (ptr_ != nullptr && holds_interpreter()) Py_DECREF(ptr_);
    }

    static OwnedRef steal(PyObject* p) noexcept {
        OwnedRef r;
        r.ptr_ = p;
        return r;
    }
    // A new reference to p. Requires: p is not null.
    static OwnedRef borrow(PyObject* p) noexcept {
        Py_INCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Gives up ownership without a decrement: the caller takes the reference.
    PyObject* into_raw() noexcept { return std::exchange(ptr_, nullptr); }
    OwnedRef clone() const noexcept { return ptr_ != nullptr ? borrow(ptr_) : OwnedRef(); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    // Where holds_interpreter() is false, the reference is left alone, as C
    // code on a stack that the finalizing interpreter unwinds would leave it.
    PyObject* ptr_ = nullptr;
};

// An OwnedRef is one pointer with no self-reference: moving its bytes moves it.
template <>
inline constexpr bool core::is_trivially_relocatable_v<OwnedRef> = true;

}  // namespace velkorin
