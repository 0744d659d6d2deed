// Instances of the module's classes, their borrow flags, and how a method
// accepts its receiver.
//
// Instance record: object header, contents, borrow flag (Instance<Contents>).
// The borrow flag is 0 when the contents are free, n > 0 while n shared
// borrows are held, and all ones while the exclusive borrow is held; a call
// that meets a conflicting borrow fails with a RuntimeError instead of seeing
// a container in the middle of a change.
#pragma once

#include "frame/error.hpp"
#include "frame/once.hpp"
#include "frame/trampoline.hpp"

#include <atomic>
#include <cstdint>

namespace velkorin {

enum class BorrowKind { shared, exclusive };

// Every entry runs with the interpreter lock held, so the flag is never
// touched by two threads at once: a borrow conflict can only come from
// re-entry on the thread that holds the lock (an argument's __index__, a
// finalizer), and the lock's hand-over between threads orders every access
// to the flag and the contents, as it does for the interpreter's own
// objects. So the flag is a plain word, read and written without atomic or
// locked instructions; it keeps the states and the errors of a
// compare-and-swap, and where no Python code can run while a borrow is held
// the compiler may drop the stores altogether.
class BorrowFlag {
public:
    static constexpr std::uint64_t exclusive = ~std::uint64_t{0};

    constexpr BorrowFlag() noexcept = default;

    [[nodiscard]] bool try_take(BorrowKind kind) noexcept {
        if (kind == BorrowKind::exclusive) {
            if (word_ != 0) [[unlikely]] return false;
            word_ = exclusive;
        } else {
            if (word_ == exclusive) [[unlikely]] return false;
            ++word_;
        }
        return true;
    }

    void give_back(BorrowKind kind) noexcept {
        if (kind == BorrowKind::exclusive) {
            word_ = 0;
        } else {
            --word_;
        }
    }

private:
    std::uint64_t word_ = 0;
};

template <class Contents>
struct Instance {
    PyObject header;
    Contents contents;
    BorrowFlag borrow_flag;
};

template <class Contents>
Instance<Contents>* instance(PyObject* self) noexcept {
    return reinterpret_cast<Instance<Contents>*>(self);
}

struct ClassInfo;

// What a method's entry needs to know of its class, found by the contents
// type. `type` is null until the type object exists; `info` is filled when
// the module loads.
struct ClassSlot {
    std::atomic<PyTypeObject*> type{nullptr};
    const ClassInfo* info = nullptr;
};

template <class Contents>
inline constinit ClassSlot class_slot{};

// The receiver is not exactly an instance of the class: checks for a
// subtype (creating the type object if need be), else the cast error.
VELKORIN_COLD bool check_receiver(const ClassSlot& cls, PyObject* self, Failure& failure);

VELKORIN_COLD Error borrow_error(BorrowKind kind);

// Holds a borrow of an instance and gives it back when destroyed, on every
// path including a panic unwinding through the method.
template <BorrowKind Kind>
class BorrowGuard {
public:
    explicit BorrowGuard(BorrowFlag* flag) noexcept : flag_(flag) {}
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    ~BorrowGuard() {
        if (flag_ != nullptr) flag_->give_back(Kind);
    }
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

// Checks that `self` is an instance of the class of `Contents` and takes the
// borrow; on failure the guard is empty and `failure` holds the error.
template <class Contents, BorrowKind Kind>
VELKORIN_ALWAYS_INLINE inline BorrowGuard<Kind> accept_receiver(PyObject* self, Failure& failure) {
    const ClassSlot& cls = class_slot<Contents>;
    if (!Py_IS_TYPE(self, cls.type.load(std::memory_order_acquire))) [[unlikely]] {
        if (!check_receiver(cls, self, failure)) return BorrowGuard<Kind>(nullptr);
    }
    BorrowFlag* flag = &instance<Contents>(self)->borrow_flag;
    if (!flag->try_take(Kind)) [[unlikely]] {
        failure.emplace(borrow_error(Kind));
        return BorrowGuard<Kind>(nullptr);
    }
    return BorrowGuard<Kind>(flag);
}

}  // namespace velkorin
