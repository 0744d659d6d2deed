// The interpreter calls that differ between the two kinds of build. A build
// for one interpreter version reads object fields directly (the macros of
// the full API); the stable-ABI build (Py_LIMITED_API, velkorin.abi3.so,
// loaded by every CPython from 3.12 on) calls the functions that the stable
// ABI exports instead.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>

namespace velkorin {

// Item i of an exact tuple or list, borrowed. Requires: 0 <= i < size.
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) noexcept {
#ifdef Py_LIMITED_API
    return PyTuple_GetItem(tuple, i);
#else
    return PyTuple_GET_ITEM(tuple, i);
#endif
}

inline PyObject* list_item(PyObject* list, Py_ssize_t i) noexcept {
#ifdef Py_LIMITED_API
    return PyList_GetItem(list, i);
#else
    return PyList_GET_ITEM(list, i);
#endif
}

inline Py_ssize_t tuple_size(PyObject* tuple) noexcept {
#ifdef Py_LIMITED_API
    return PyTuple_Size(tuple);
#else
    return PyTuple_GET_SIZE(tuple);
#endif
}

inline Py_ssize_t list_size(PyObject* list) noexcept {
#ifdef Py_LIMITED_API
    return PyList_Size(list);
#else
    return PyList_GET_SIZE(list);
#endif
}

inline Py_ssize_t dict_size(PyObject* dict) noexcept {
#ifdef Py_LIMITED_API
    return PyDict_Size(dict);
#else
    return PyDict_GET_SIZE(dict);
#endif
}

// Puts `item` (a reference that the list takes over) into the empty slot i
// of a new list.
inline void list_fill(PyObject* list, Py_ssize_t i, PyObject* item) noexcept {
#ifdef Py_LIMITED_API
    PyList_SetItem(list, i, item);
#else
    PyList_SET_ITEM(list, i, item);
#endif
}

// Fills the empty slots of a new list from the first, one reference (which
// the list takes over) at a time.
class ListFiller {
public:
#ifdef Py_LIMITED_API
    explicit ListFiller(PyObject* list) noexcept : list_(list) {}
    void push(PyObject* item) noexcept { PyList_SetItem(list_, next_++, item); }

private:
    PyObject* list_;
    Py_ssize_t next_ = 0;
#else
    explicit ListFiller(PyObject* list) noexcept : slot_(reinterpret_cast<PyListObject*>(list)->ob_item) {}
    void push(PyObject* item) noexcept { *slot_++ = item; }

private:
    PyObject** slot_;
#endif
};

// The text of a str whose characters are all ASCII and stored in the object
// itself (the usual key), in place and without a call, and the hash it has
// cached (-1 for none yet); false for any other str, which takes the general
// conversion. The stable ABI cannot see the layout and always answers false.
inline bool compact_ascii_text(PyObject* str, std::string_view& text, Py_hash_t& cached_hash) noexcept {
#ifdef Py_LIMITED_API
    (void)str;
    (void)text;
    (void)cached_hash;
    return false;
#else
    static_assert(sizeof(PyASCIIObject) >= 16, "StrView::after_header");
    if (!PyUnicode_IS_COMPACT_ASCII(str)) return false;
    // The characters follow the header; PyUnicode_DATA would test the kind again.
    text = std::string_view(reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(str) + 1),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
    cached_hash = reinterpret_cast<PyASCIIObject*>(str)->hash;
    return true;
#endif
}

// The hash of a str by the exact str type's own hash function, never a
// subclass's __hash__: a function of the text alone, which the str caches.
// The stable ABI takes the function from the type's slot.
#ifdef Py_LIMITED_API
inline Py_hash_t str_type_hash(PyObject* s) {
    static const hashfunc hash = reinterpret_cast<hashfunc>(PyType_GetSlot(&PyUnicode_Type, Py_tp_hash));
    return hash(s);
}
#else
inline Py_hash_t str_type_hash(PyObject* s) { return PyUnicode_Type.tp_hash(s); }
#endif

// The value of an exact int if it fits 64 bits; otherwise *overflow is set.
// The call for `long` is the faster one where `long` has 64 bits.
inline std::int64_t int64_and_overflow(PyObject* obj, int* overflow) noexcept {
    if constexpr (sizeof(long) == sizeof(std::int64_t)) {
        return PyLong_AsLongAndOverflow(obj, overflow);
    } else {
        static_assert(sizeof(long long) == sizeof(std::int64_t));
        return PyLong_AsLongLongAndOverflow(obj, overflow);
    }
}

inline PyObject* call_one_arg(PyObject* callable, PyObject* arg) noexcept {
#ifdef Py_LIMITED_API
    return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
#else
    return PyObject_CallOneArg(callable, arg);
#endif
}

inline allocfunc type_alloc(PyTypeObject* type) noexcept {
#ifdef Py_LIMITED_API
    return reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
#else
    return type->tp_alloc;
#endif
}

inline freefunc type_free(PyTypeObject* type) noexcept {
#ifdef Py_LIMITED_API
    return reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
#else
    return type->tp_free;
#endif
}

inline destructor type_dealloc(PyTypeObject* type) noexcept {
#ifdef Py_LIMITED_API
    return reinterpret_cast<destructor>(PyType_GetSlot(type, Py_tp_dealloc));
#else
    return type->tp_dealloc;
#endif
}

// False only on a thread that the finalizing interpreter is ending while it
// is inside a call: its stack unwinds without the interpreter lock, and
// touching a reference count then would race with finalization.
inline bool holds_interpreter() noexcept {
#if defined(Py_LIMITED_API)
    // The interpreter stops counting as initialised at the moment it starts
    // to finalize; a thread that it ends has no thread state, and one that
    // holds the lock has one and so a thread-state dictionary.
    return Py_IsInitialized() || PyThreadState_GetDict() != nullptr;
#elif PY_VERSION_HEX >= 0x030D0000
    return !Py_IsFinalizing() || PyGILState_Check();
#else
    return !_Py_IsFinalizing() || PyGILState_Check();
#endif
}

}  // namespace velkorin
