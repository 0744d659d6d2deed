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
// changed by two threads at once: a borrow conflict can only come from
// re-entry on the thread that holds the lock (an argument's __index__, a
// finalizer), and a switch to another thread happens only inside Python code,
// never between a load and the store that follows it. Relaxed loads and
// stores therefore keep the states and errors of a compare-and-swap without
// its locked instructions; the lock's own hand-over orders the contents.
class BorrowFlag {
public:
    static constexpr std::uint64_t exclusive = ~std::uint64_t{0};

    constexpr BorrowFlag() noexcept = default;

    std::uint64_t value() const noexcept { return word_.load(std::memory_order_relaxed); }

    [[nodiscard]] bool try_take(BorrowKind kind) noexcept {
        const std::uint64_t now = value();
        if (kind == BorrowKind::exclusive) {
            if (now != 0) [[unlikely]] return false;
            set(exclusive);
        } else {
            if (now == exclusive) [[unlikely]] return false;
            set(now + 1);
        }
        return true;
    }

    void give_back(BorrowKind kind) noexcept { set(kind == BorrowKind::exclusive ? 0 : value() - 1); }

private:
    void set(std::uint64_t v) noexcept { word_.store(v, std::memory_order_relaxed); }

    std::atomic<std::uint64_t> word_{0};
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
[[gnu::cold]] bool check_receiver(const ClassSlot& cls, PyObject* self, Failure& failure);

[[gnu::cold]] Error borrow_error(BorrowKind kind);

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
[[gnu::always_inline]] inline BorrowGuard<Kind> accept_receiver(PyObject* self, Failure& failure) {
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
