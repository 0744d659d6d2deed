// The error model: how a failure travels, and where it becomes a Python
// exception.
//
// An Error is the result of a failed operation, either deferred (an
// exception type and a message; the exception object is created when it is
// raised) or fetched (an exception object taken out of the interpreter at
// the point of failure). It travels in one of three carriers:
//   - Result<T>: the value or the Error of an operation, returned up the C++
//     stack (conversions, interpreter calls, initialisers). Result<void> is
//     also the outcome so far of a loop that stops at its first error.
//   - Failure: the out-parameter of a callable's body. A body that fails
//     leaves its Error there and returns null, so that the success path of
//     every call returns a plain pointer; each trampoline owns one.
//   - Panic: a C++ exception of the module's own for a broken internal
//     assumption. It abandons the running body and is caught only by the
//     nearest trampoline, which turns it into a PanicException. Any other C++
//     exception that reaches a trampoline is a panic without a text.
//
// An Error becomes the interpreter's exception in two places only: the
// trampoline raises it for the caller (raise_failure(), trampoline.cpp), and
// report_unraisable() hands it to the interpreter's unraisable hook where
// nothing can be raised (a deallocation, a message whose object cannot be
// printed, a receiver check whose class cannot be made).
// Error::into_exception() only makes the exception object, to chain it as a
// __cause__.
#pragma once

#include "core/memory.hpp"
#include "frame/drain.hpp"
#include "frame/object.hpp"

#include <new>
#include <optional>
#include <string_view>

namespace velkorin {

// Returns a borrowed exception type, creating it on first use if need be.
using TypeGetter = PyObject* (*)();

class Error {
public:
    // Deferred error of a built-in exception type (PyExc_TypeError, ...).
    static Error deferred(PyObject* type, std::string_view message);
    // Deferred error whose message is a Python str (text that may not be UTF-8).
    static Error deferred(PyObject* type, OwnedRef message);
    // Deferred error of a type created on first use.
    static Error deferred(TypeGetter type, std::string_view message);
    // The exception the interpreter had raised.
    static Error fetched(OwnedRef exception);

    Error(Error&&) noexcept = default;
    Error& operator=(Error&&) noexcept = default;

    // Sets this error as the interpreter's current exception; for the
    // trampoline and report_unraisable() alone.
    void restore() &&;
    // The exception object, created now if the error is deferred.
    OwnedRef into_exception() &&;
    // Whether the exception is an instance of `type` (or of a subclass).
    bool matches(PyObject* type) const;

private:
    Error() = default;
    PyObject* exception_type() const;

    PyObject* type_ = nullptr;
    TypeGetter lazy_type_ = nullptr;
    String text_;
    OwnedRef message_;    // deferred with a str message
    OwnedRef exception_;  // fetched
};

// The value of a successful operation, or its Error.
template <class T>
class [[nodiscard]] Result {
public:
    using value_type = T;

    Result(T value) : ok_(true) { ::new (static_cast<void*>(&value_)) T(std::move(value)); }
    Result(Error error) : ok_(false) { ::new (static_cast<void*>(&error_)) Error(std::move(error)); }
    Result(Result&& other) noexcept : ok_(other.ok_) {
        if (ok_) {
            ::new (static_cast<void*>(&value_)) T(std::move(other.value_));
        } else {
            ::new (static_cast<void*>(&error_)) Error(std::move(other.error_));
        }
    }
    Result& operator=(Result&&) = delete;
    ~Result() {
        if (ok_) {
            value_.~T();
        } else {
            error_.~Error();
        }
    }

    bool ok() const noexcept { return ok_; }
    explicit operator bool() const noexcept { return ok_; }
    // Requires: ok().
    T& value() noexcept { return value_; }
    // Requires: !ok().
    Error& error() noexcept { return error_; }

private:
    union {
        T value_;
        Error error_;
    };
    bool ok_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() noexcept = default;
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    Error& error() noexcept { return *error_; }

private:
    std::optional<Error> error_;
};

template <class T>
inline constexpr bool is_result_v = false;
template <class T>
inline constexpr bool is_result_v<Result<T>> = true;

// Where a body leaves the Error of a failed call for the trampoline to raise.
// A body that sets it returns null at once, and the trampoline always takes
// the error out again (raising it, or dropping it when a panic arrives), so
// the destructor has nothing to do: a call that succeeds pays one store.
class Failure {
public:
    Failure() noexcept {}
    Failure(const Failure&) = delete;
    Failure& operator=(const Failure&) = delete;
    ~Failure() {}

    void emplace(Error&& error) noexcept {
        if (set_) discard();
        ::new (static_cast<void*>(&error_)) Error(std::move(error));
        set_ = true;
    }
    explicit operator bool() const noexcept { return set_; }

    // Requires: the failure is set.
    Error take() noexcept {
        Error error(std::move(error_));
        discard();
        return error;
    }

    VELKORIN_COLD VELKORIN_NOINLINE void discard() noexcept {
        if (!set_) return;
        error_.~Error();
        set_ = false;
    }

private:
    union {
        Error error_;
    };
    bool set_ = false;
};

struct Panic {
    String message;
};

[[noreturn]] VELKORIN_COLD void panic(std::string_view message);

// A call that creates an object the code counts on (a message, a list, an int
// result) returned null: print the pending exception, then panic.
[[noreturn]] VELKORIN_COLD void api_call_failed();

// Takes the pending exception out of the interpreter. A PanicException coming
// back from Python code is resumed as a panic, never turned into an Error.
VELKORIN_COLD Error fetch_error();

// Drops the pending exception (where an error is ignored by design); a
// PanicException still goes on as a panic, as in fetch_error().
void discard_error();

// The process-wide PanicException type (created on first use).
PyObject* panic_exception_type();

// The deferred PanicException for a panic with this text.
Error panic_error(std::string_view message);

// Reports `error` through the interpreter's unraisable hook, naming `obj`
// (or nothing, when null).
void report_unraisable(Error&& error, PyObject* obj);

// Text of str(obj); on failure the failure is reported as unraisable and the
// "<unprintable ...>" fallback is returned.
OwnedRef str_or_unprintable(PyObject* obj);

}  // namespace velkorin
