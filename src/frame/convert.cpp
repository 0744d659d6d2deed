#include "frame/convert.hpp"

#include "frame/args.hpp"
#include "frame/once.hpp"

#include <algorithm>

namespace velkorin {

namespace {

// A sequence's reported length only sizes the first reservation; a length
// that lies (or is huge) costs at most this much before growth by doubling.
constexpr std::size_t max_reserved_elements = std::size_t{1} << 16;

OnceCell<PyObject*> sequence_class_cell;

Result<PyObject*> import_sequence_class() {
    PyObject* module = PyImport_ImportModule("collections.abc");
    PyObject* cls = module ? PyObject_GetAttrString(module, "Sequence") : nullptr;
    Py_XDECREF(module);
    if (cls == nullptr) {
        OwnedRef exc = std::move(fetch_error()).into_exception();
        OwnedRef type_name = OwnedRef::steal(PyType_GetName(Py_TYPE(exc.get())));
        if (!type_name) discard_error();
        OwnedRef text = str_or_unprintable(exc.get());
        OwnedRef msg = OwnedRef::steal(
            type_name ? PyUnicode_FromFormat("could not import collections.abc.Sequence: %U: %U",
                                             type_name.get(), text.get())
                      : PyUnicode_FromFormat("could not import collections.abc.Sequence: %U", text.get()));
        Py_ssize_t size = 0;
        const char* utf8 = msg ? PyUnicode_AsUTF8AndSize(msg.get(), &size) : nullptr;
        if (!utf8) {
            discard_error();
            panic("could not import collections.abc.Sequence: <unprintable error>");
        }
        panic(std::string_view(utf8, static_cast<std::size_t>(size)));
    }
    return cls;
}

Result<PyObject*> sequence_class() {
    auto cell = sequence_class_cell.get_or_try_init<&import_sequence_class>();
    if (!cell) return std::move(cell.error());
    return cell.value();
}

VELKORIN_COLD Error not_a_sequence(PyObject* obj) {
    auto cls = sequence_class();
    if (!cls) return std::move(cls.error());
    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(cls.value(), "__qualname__"));
    Py_ssize_t size = 0;
    const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (!utf8) {
        discard_error();
        return cast_error(obj, "Sequence");
    }
    return cast_error(obj, utf8);
}

// Converts the items of an exact list or tuple by index, re-reading the size
// at every step as the list iterator does, so that an element's __index__
// that mutates the list sees the same behaviour as with iteration.
template <bool IsList>
Result<IntVec> extract_indexed(PyObject* seq) {
    IntVec out;
    const auto size = [seq] { return IsList ? list_size(seq) : tuple_size(seq); };
    out.reserve(static_cast<std::size_t>(size()));
    for (Py_ssize_t i = 0; i < size(); ++i) {
        PyObject* item = IsList ? list_item(seq, i) : tuple_item(seq, i);
        if (PyLong_CheckExact(item)) {
            int overflow = 0;
            const std::int64_t value = int64_and_overflow(item, &overflow);
            if (!overflow) [[likely]] {
                out.push_back(value);
                continue;
            }
        }
        // Held for the conversion: __index__ may drop the list's reference.
        OwnedRef held = OwnedRef::borrow(item);
        auto value = FromPython<std::int64_t>::extract(held.get());
        drop(std::move(held));
        if (!value) return std::move(value.error());
        out.push_back(value.value());
    }
    return out;
}

}  // namespace

Result<StrView> FromPython<StrView>::extract_general(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return cast_error(obj, "str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return fetch_error();
    return StrView{std::string_view(utf8, static_cast<std::size_t>(size)), obj};
}

Result<IntVec> FromPython<IntVec>::extract(PyObject* obj) {
    if (PyUnicode_Check(obj)) return Error::deferred(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (PyList_CheckExact(obj)) return extract_indexed<true>(obj);
    if (PyTuple_CheckExact(obj)) return extract_indexed<false>(obj);
    if (!PySequence_Check(obj)) return not_a_sequence(obj);

    IntVec out;
    const Py_ssize_t hint = PyObject_Size(obj);
    if (hint < 0) {
        discard_error();
    } else {
        out.reserve(std::min(static_cast<std::size_t>(hint), max_reserved_elements));
    }
    OwnedRef iter = OwnedRef::steal(PyObject_GetIter(obj));
    if (!iter) return fetch_error();
    Result<void> status;
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iter.get()))) {
        auto value = FromPython<std::int64_t>::extract(item.get());
        drop(std::move(item));
        if (!value) {
            status = std::move(value.error());
            break;
        }
        out.push_back(value.value());
    }
    if (status && PyErr_Occurred()) status = fetch_error();
    drop(std::move(iter));
    if (!status) return std::move(status.error());
    return out;
}

OwnedRef new_list(std::size_t n) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) api_call_failed();
    return list;
}

OwnedRef int_list(const std::int64_t* values, std::size_t n) {
    OwnedRef list = new_list(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = PyLong_FromLongLong(values[i]);
        if (!item) api_call_failed();
        list_fill(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

}  // namespace velkorin
