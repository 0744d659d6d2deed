// Conversions between Python objects and native values.
//
// Parameters: the C++ type of a declared parameter selects its conversion.
//   std::int64_t        integer element (int, bool, anything with __index__)
//   StrView             the same text, borrowed from the argument for the call
//   Vec<std::int64_t>   integer list: any sequence except str, in iteration order
//   PyObject*           any object, unconverted (borrowed for the call)
//
// Results: the C++ return type selects the Python result.
//   void -> None, bool, std::int64_t -> int, std::uint64_t -> int,
//   std::optional<T> -> T or None, Vec<std::int64_t> -> list of int,
//   OwnedRef -> the object itself, Result<T> -> T or the error (handled by the
//   entries, which hand the error to the trampoline).
#pragma once

#include "frame/error.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

namespace velkorin {

using IntVec = Vec<std::int64_t>;

// The UTF-8 text of a str argument without a copy, and the str itself. The
// interpreter keeps the argument, and so its UTF-8 buffer, alive for the
// whole call.
struct StrView {
    std::string_view text;
    PyObject* object;
    Py_hash_t cached_hash = -1;  // what the str had cached at conversion, or -1
    // The text is the str's own inline data, so the object's header, at least
    // 16 bytes, lies right before it: a reader may load whole words that end
    // with the text.
    bool after_header = false;

    // The str's hash (str_type_hash), computed and cached by the interpreter
    // the first time it is asked for.
    std::uint64_t hash() const {
        return static_cast<std::uint64_t>(cached_hash != -1 ? cached_hash : str_type_hash(object));
    }
};

template <class T>
struct FromPython;

template <>
struct FromPython<std::int64_t> {
    static Result<std::int64_t> extract(PyObject* obj);
};

template <>
struct FromPython<StrView> {
    static Result<StrView> extract(PyObject* obj) {
        // A compact ASCII str keeps its characters as their UTF-8 bytes
        // (the usual key): taken in place, without a call, with the hash it
        // caches beside them.
        std::string_view text;
        Py_hash_t cached_hash = -1;
        if (PyUnicode_Check(obj) && compact_ascii_text(obj, text, cached_hash)) [[likely]]
            return StrView{text, obj, cached_hash, true};
        return extract_general(obj);
    }
    static Result<StrView> extract_general(PyObject* obj);
};

template <>
struct FromPython<IntVec> {
    static Result<IntVec> extract(PyObject* obj);
};

template <>
struct FromPython<PyObject*> {
    static Result<PyObject*> extract(PyObject* obj) { return obj; }
};

inline Result<std::int64_t> FromPython<std::int64_t>::extract(PyObject* obj) {
    static_assert(sizeof(long long) == sizeof(std::int64_t));
    if (PyLong_CheckExact(obj)) [[likely]] {
        // Runs no Python code and is faster than PyLong_AsLongLong for wide
        // ints; an out-of-range value falls through for the latter's error.
        int overflow = 0;
        const std::int64_t value = int64_and_overflow(obj, &overflow);
        if (!overflow) return value;
    }
    const long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) [[unlikely]] return fetch_error();
    return static_cast<std::int64_t>(value);
}

// A new int; a failure to create it is a panic.
inline OwnedRef int_object(std::int64_t v) {
    OwnedRef o = OwnedRef::steal(PyLong_FromLongLong(v));
    if (!o) api_call_failed();
    return o;
}

// New list of `n` empty slots, for the caller to fill (list_fill, ListFiller).
OwnedRef new_list(std::size_t n);

// New list holding new references to the objects of `items` (a container of
// OwnedRef with size() and for_each), in the container's order.
template <class Container>
OwnedRef list_of_objects(const Container& items) {
    OwnedRef list = new_list(items.size());
    Py_ssize_t i = 0;
    items.for_each([&](const OwnedRef& item) { list_fill(list.get(), i++, Py_NewRef(item.get())); });
    return list;
}

// New list of the `n` ints at `values`.
OwnedRef int_list(const std::int64_t* values, std::size_t n);

// New list of the `n` ints that `walk(f)` hands to f, in that order: the
// list is filled as a container is walked, with no vector in between.
// Requires: walk hands out exactly n values.
template <class Walk>
OwnedRef int_list_from(std::size_t n, Walk&& walk) {
    OwnedRef list = new_list(n);
    ListFiller fill(list.get());
    walk([&](std::int64_t v) { fill.push(int_object(v).into_raw()); });
    return list;
}



// None, True and False are immortal (CPython 3.12 and later): returning them
// needs no reference count change, as with Py_RETURN_NONE.
template <class T>
struct IntoPython;

template <>
struct IntoPython<bool> {
    static PyObject* convert(bool v) { return v ? Py_True : Py_False; }
};


template <>
struct IntoPython<std::int64_t> {
    static PyObject* convert(std::int64_t v) { return int_object(v).into_raw(); }
};

template <>
struct IntoPython<std::uint64_t> {
    static PyObject* convert(std::uint64_t v) {
        PyObject* o = PyLong_FromUnsignedLongLong(v);
        if (!o) api_call_failed();
        return o;
    }
};

template <>
struct IntoPython<IntVec> {
    static PyObject* convert(const IntVec& v) { return int_list(v.data(), v.size()).into_raw(); }
};

template <>
struct IntoPython<OwnedRef> {
    static PyObject* convert(OwnedRef&& v) { return v.into_raw(); }
};

template <class T>
struct IntoPython<std::optional<T>> {
    static PyObject* convert(std::optional<T>&& v) {
        if (!v) return Py_None;
        return IntoPython<T>::convert(std::move(*v));
    }
};


}  // namespace velkorin
