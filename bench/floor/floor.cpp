// velkorin_floor: the cost floor of velkorin's call path.
//
// The same work as PyQueue.push/pop and PyHashSet.insert/contains, over the
// same cores, written the way a careful C extension would be: one plain
// function per method, the usual argument shape checked inline, a receiver
// check, the same borrow flag states, no templates and no error values. The
// benchmarks divide velkorin's times by these. Built only for them
// (-DVELKORIN_BENCH_FLOOR=ON), never installed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/hash_set.hpp"
#include "core/ring_buffer.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>

namespace {

constexpr std::uint64_t kExclusive = ~std::uint64_t{0};

struct FloorQueue {
    PyObject_HEAD
    velkorin::core::RingBuffer<PyObject*> ring;
    std::uint64_t borrow;
};

struct FloorSet {
    PyObject_HEAD
    velkorin::core::HashSet set;
    std::uint64_t borrow;
};

PyTypeObject* queue_type;
PyTypeObject* set_type;

PyObject* borrow_error(bool exclusive) {
    PyErr_SetString(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
    return nullptr;
}

PyObject* cast_error(PyObject* self, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as '%s'", Py_TYPE(self)->tp_name, target);
    return nullptr;
}

// The one parameter `v`, by position or keyword.
[[gnu::noinline, gnu::cold]] PyObject* bind_v(const char* name, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs == 0 && nkw == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "v") == 0) {
        return args[0];
    }
    PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument 'v'", name);
    return nullptr;
}

bool to_int64(PyObject* obj, std::int64_t* out) {
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(obj, &overflow);
        if (!overflow) {
            *out = v;
            return true;
        }
    }
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

PyObject* queue_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* v = (nargs == 1 && kwnames == nullptr) ? args[0] : bind_v("push", args, nargs, kwnames);
    if (v == nullptr) return nullptr;
    if (!Py_IS_TYPE(self, queue_type) && !PyType_IsSubtype(Py_TYPE(self), queue_type)) {
        return cast_error(self, "FloorQueue");
    }
    auto* q = reinterpret_cast<FloorQueue*>(self);
    if (q->borrow != 0) return borrow_error(true);
    q->borrow = kExclusive;
    q->ring.push_back(Py_NewRef(v));
    q->borrow = 0;
    Py_RETURN_NONE;
}

PyObject* queue_pop(PyObject* self, PyObject*) {
    if (!Py_IS_TYPE(self, queue_type) && !PyType_IsSubtype(Py_TYPE(self), queue_type)) {
        return cast_error(self, "FloorQueue");
    }
    auto* q = reinterpret_cast<FloorQueue*>(self);
    if (q->borrow != 0) return borrow_error(true);
    q->borrow = kExclusive;
    std::optional<PyObject*> front = q->ring.pop_front();
    q->borrow = 0;
    if (!front) Py_RETURN_NONE;
    return *front;
}

template <bool Exclusive>
FloorSet* enter_set(PyObject* self) {
    if (!Py_IS_TYPE(self, set_type) && !PyType_IsSubtype(Py_TYPE(self), set_type)) {
        cast_error(self, "FloorHashSet");
        return nullptr;
    }
    auto* s = reinterpret_cast<FloorSet*>(self);
    if (Exclusive ? s->borrow != 0 : s->borrow == kExclusive) {
        borrow_error(Exclusive);
        return nullptr;
    }
    s->borrow = Exclusive ? kExclusive : s->borrow + 1;
    return s;
}

PyObject* set_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* v = (nargs == 1 && kwnames == nullptr) ? args[0] : bind_v("insert", args, nargs, kwnames);
    if (v == nullptr) return nullptr;
    FloorSet* s = enter_set<true>(self);
    if (s == nullptr) return nullptr;
    std::int64_t x;
    if (!to_int64(v, &x)) {
        s->borrow = 0;
        return nullptr;
    }
    const bool added = s->set.insert(x);
    s->borrow = 0;
    return Py_NewRef(added ? Py_True : Py_False);
}

PyObject* set_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* v = (nargs == 1 && kwnames == nullptr) ? args[0] : bind_v("contains", args, nargs, kwnames);
    if (v == nullptr) return nullptr;
    FloorSet* s = enter_set<false>(self);
    if (s == nullptr) return nullptr;
    std::int64_t x;
    if (!to_int64(v, &x)) {
        s->borrow -= 1;
        return nullptr;
    }
    const bool found = s->set.contains(x);
    s->borrow -= 1;
    return Py_NewRef(found ? Py_True : Py_False);
}

template <class T, class Init>
PyObject* new_instance(PyTypeObject* type, PyObject* args, PyObject* kwargs, Init init) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "takes no arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    init(reinterpret_cast<T*>(self));
    return self;
}

PyObject* queue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_instance<FloorQueue>(type, args, kwargs, [](FloorQueue* q) {
        ::new (&q->ring) velkorin::core::RingBuffer<PyObject*>();
        q->borrow = 0;
    });
}

PyObject* set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_instance<FloorSet>(type, args, kwargs, [](FloorSet* s) {
        ::new (&s->set) velkorin::core::HashSet(velkorin::core::next_hash_key());
        s->borrow = 0;
    });
}

void queue_dealloc(PyObject* self) {
    auto* q = reinterpret_cast<FloorQueue*>(self);
    while (std::optional<PyObject*> v = q->ring.pop_front()) Py_DECREF(*v);
    q->ring.~RingBuffer();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

void set_dealloc(PyObject* self) {
    reinterpret_cast<FloorSet*>(self)->set.~HashSet();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef queue_methods[] = {
    {"push", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&queue_push)), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"pop", &queue_pop, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef set_methods[] = {
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&set_insert)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"contains", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&set_contains)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* make_type(const char* name, int size, void* tp_new, void* dealloc, PyMethodDef* methods) {
    PyType_Slot slots[] = {
        {Py_tp_new, tp_new},
        {Py_tp_methods, methods},
        {Py_tp_dealloc, dealloc},
        {0, nullptr},
    };
    PyType_Spec spec{name, size, 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "velkorin_floor", nullptr, 0, nullptr,
                            nullptr,               nullptr,          nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_velkorin_floor() {
    PyObject* m = PyModule_Create(&floor_module);
    if (m == nullptr) return nullptr;
    queue_type = make_type("velkorin_floor.FloorQueue", sizeof(FloorQueue), reinterpret_cast<void*>(&queue_new),
                           reinterpret_cast<void*>(&queue_dealloc), queue_methods);
    set_type = make_type("velkorin_floor.FloorHashSet", sizeof(FloorSet), reinterpret_cast<void*>(&set_new),
                         reinterpret_cast<void*>(&set_dealloc), set_methods);
    if (queue_type == nullptr || set_type == nullptr ||
        PyModule_AddObjectRef(m, "FloorQueue", reinterpret_cast<PyObject*>(queue_type)) < 0 ||
        PyModule_AddObjectRef(m, "FloorHashSet", reinterpret_cast<PyObject*>(set_type)) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
