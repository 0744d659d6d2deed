// Instances of the module's classes, their borrow flags, and how a method
// accepts its receiver.
//
// Instance record: object header, borrow flag, contents (Instance<Contents>).
// The borrow flag is 0 when the contents are free, n > 0 while n shared
// borrows are held, and all ones while the exclusive borrow is held; a call
// that meets a conflicting borrow fails with a RuntimeError instead of seeing
// a container in the middle of a change. The flag comes right after the
// header, at the same place in every class, so that code knowing only that
// an object is one of the module's instances can reach it (drain.cpp).
#pragma once

#include "frame/args.hpp"
#include "frame/error.hpp"
#include "frame/once.hpp"

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
    // Set on an instance whose last reference a drain point is releasing:
    // its deallocation hands the contents over (drain.hpp). No borrow can be
    // held then, as nothing else refers to the instance.
    static constexpr std::uint64_t handing_over = exclusive - 1;

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

    void mark_handing_over() noexcept { word_ = handing_over; }
    bool handing_over_marked() const noexcept { return word_ == handing_over; }

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

struct InstanceHead {
    PyObject header;
    BorrowFlag borrow_flag;
};

template <class Contents>
struct Instance {
    InstanceHead head;
    Contents contents;
};

template <class Contents>
Instance<Contents>* instance(PyObject* self) noexcept {
    return reinterpret_cast<Instance<Contents>*>(self);
}

// Requires: self is an instance of one of the module's classes.
inline BorrowFlag& borrow_flag_of(PyObject* self) noexcept {
    return reinterpret_cast<InstanceHead*>(self)->borrow_flag;
}

using FastcallEntry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// A method table row as constants. Each entry keeps its own type, since a
// function pointer cast is not a constant expression: the rows that the
// interpreter reads are written from these (method_def()) when the type
// object or the function objects are made.
struct MethodRow {
    const char* name;
    PyCFunction noargs;      // the METH_NOARGS entry, or null
    FastcallEntry fastcall;  // the METH_FASTCALL | METH_KEYWORDS entry, or null
    const char* doc;
};

PyMethodDef method_def(const MethodRow& row);

// One class: its constants, and the cell of its type object, which the
// methods' receiver checks read.
struct ClassRecord {
    const char* name;       // "PyQueue"
    const char* type_name;  // "builtins.PyQueue"
    const char* doc;        // "PyQueue()\n--\n\n"
    PyMethodDef* methods;   // writable: the type keeps pointing at the rows
    const MethodRow* method_rows;  // what to write there, one per method
    std::size_t method_count;
    newfunc tp_new;
    destructor tp_dealloc;
    int basic_size;
    FunctionDescription new_description;
    bool hands_over;  // its deallocation calls deallocate() (drain.hpp)
    mutable OnceCell<PyTypeObject*> type{};
};


// The receiver is not exactly an instance of the class: checks for a
// subtype (creating the type object if need be), else the cast error.
VELKORIN_COLD bool check_receiver(const ClassRecord& cls, PyObject* self, Failure& failure);

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

// Checks that `self` is an instance of the class `Class` (class.hpp) and
// takes the borrow; on failure the guard is empty and `failure` holds the
// error.
template <class Class, BorrowKind Kind>
VELKORIN_ALWAYS_INLINE inline BorrowGuard<Kind> accept_receiver(PyObject* self, Failure& failure) {
    const ClassRecord& cls = Class::record();
    if (!Py_IS_TYPE(self, cls.type.get())) [[unlikely]] {
        if (!check_receiver(cls, self, failure)) return BorrowGuard<Kind>(nullptr);
    }
    BorrowFlag* flag = &borrow_flag_of(self);
    if (!flag->try_take(Kind)) [[unlikely]] {
        failure.emplace(borrow_error(Kind));
        return BorrowGuard<Kind>(nullptr);
    }
    return BorrowGuard<Kind>(flag);
}

}  // namespace velkorin
