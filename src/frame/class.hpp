// The machinery shared by the module's classes.
//
//   using QueueClass = PyClass<"PyQueue", Queue,
//       Def<"push", &Queue::push, "v">,
//       Def<"pop", &Queue::pop>>;
//
// declares a class named `builtins.PyQueue` whose instances embed a `Queue`
// (default-constructed by the class call, destroyed with the instance) and
// whose methods are the member functions listed. The type object is created
// once, on first request, from a fixed spec: flags Py_TPFLAGS_DEFAULT only
// (no subclassing, no cyclic GC, no instance dict or weak references) and the
// slots tp_doc, tp_new, tp_methods, tp_base, tp_dealloc. Everything but the
// constructor, the destructor and the method table is compiled once, in
// class.cpp.
//
// Requires: all-zero bytes are a valid empty `Contents`. The classes are
// mutable types, so `PyQueue.__new__ = lambda c: object.__new__(c)` makes
// instances whose memory the interpreter zeroed and whose constructor never
// ran; every container core is designed for that.
#pragma once

#include "frame/callable.hpp"
#include "frame/instance.hpp"
#include "frame/once.hpp"

#include <array>
#include <new>

namespace velkorin {

// What the compiled-once half of the machinery needs to know about a class.
struct ClassInfo {
    const char* name;       // "PyQueue"
    const char* type_name;  // "builtins.PyQueue"
    const char* doc;        // "PyQueue()\n--\n\n"
    PyMethodDef* methods;
    newfunc tp_new;
    destructor tp_dealloc;
    int basic_size;
    ClassSlot* slot;  // where the methods' receiver checks find the type object
    FunctionDescription new_description;
    mutable OnceCell<PyTypeObject*> cell{};
};

// The class's type object, created on first request. A failure is the
// RuntimeError "An error occurred while initializing class <name>" with the
// original error as its __cause__.
Result<PyTypeObject*> class_type(const ClassInfo& info);

// Allocates an instance of `subtype` (its tp_alloc, or PyType_GenericAlloc).
PyObject* allocate_instance(PyTypeObject* subtype, Failure& failure);

// Frees an instance whose contents are already destroyed and drops its
// reference to its class.
void free_instance(PyObject* self);

// The constructor (tp_new) of the class whose contents are `Contents`.
template <class Contents>
PyObject* construct(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return trampoline([&](Failure& failure) -> PyObject* {
        // The class call takes no arguments; anything given goes to binding
        // for its message.
        if (tuple_size(args) != 0 || (kwargs != nullptr && dict_size(kwargs) != 0)) [[unlikely]] {
            const FunctionDescription& desc = class_slot<Contents>.info->new_description;
            if (!extract_arguments_tuple_dict(desc, args, kwargs, nullptr, failure)) return nullptr;
        }
        Contents contents{};
        PyObject* self = allocate_instance(subtype, failure);
        if (self == nullptr) return nullptr;
        Instance<Contents>* r = instance<Contents>(self);
        ::new (static_cast<void*>(&r->contents)) Contents(std::move(contents));
        ::new (static_cast<void*>(&r->borrow_flag)) BorrowFlag();
        return self;
    });
}

// Runs `release(self)`, which destroys the instance; deallocations nested
// beyond a fixed depth are deferred and run by the outermost one.
void deallocate(PyObject* self, void (*release)(PyObject*));

// Contents that hold Python references give them up in release_all(), an
// ordinary function, before their destructor runs: releasing can run any
// Python code, which must never run inside a destructor.
template <class Contents>
void release_instance(PyObject* self) {
    Contents& contents = instance<Contents>(self)->contents;
    if constexpr (requires { contents.release_all(); }) contents.release_all();
    contents.~Contents();
    free_instance(self);
}

// The deallocator (tp_dealloc).
template <class Contents>
void destroy(PyObject* self) {
    trampoline_unraisable([&] { deallocate(self, &release_instance<Contents>); });
}

template <FixedString Name, class Contents, class... Methods>
class PyClass {
    static_assert((Methods::is_method && ...), "every method of a class is a member function of its contents");
    static_assert((std::is_same_v<typename Methods::Signature::Contents, Contents> && ...),
                  "a method's member function must belong to the class's contents type");
    static_assert(std::is_default_constructible_v<Contents>, "the class call builds empty contents");

    static constexpr auto& doc = detail::text_signature<false, Name>;
    static constexpr auto type_name = [] {
        std::array<char, 9 + Name.length + 1> out{};
        const char prefix[] = "builtins.";
        for (std::size_t i = 0; i < 9; ++i) out[i] = prefix[i];
        for (std::size_t i = 0; i < Name.length; ++i) out[9 + i] = Name.chars[i];
        return out;
    }();

    // Made as the module loads: registers the class and each method's
    // descriptor for the entries, which find them by type.
    static std::array<PyMethodDef, sizeof...(Methods) + 1> make_methods() {
        class_slot<Contents>.info = &info;
        return {Methods::method_def(Name.chars)..., PyMethodDef{nullptr, nullptr, 0, nullptr}};
    }

    static inline std::array<PyMethodDef, sizeof...(Methods) + 1> methods = make_methods();

public:
    static constexpr const char* name = Name.chars;
    static inline constinit ClassInfo info{
        Name.chars,
        type_name.data(),
        doc.data(),
        methods.data(),
        &construct<Contents>,
        &destroy<Contents>,
        static_cast<int>(sizeof(Instance<Contents>)),
        &class_slot<Contents>,
        FunctionDescription{Name.chars, "__new__", nullptr, 0},
    };
};

}  // namespace velkorin
