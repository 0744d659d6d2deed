// The machinery shared by the module's classes.
//
//   struct PyQueue final : PyClass<PyQueue, "PyQueue", Queue,
//       Def<"push", &Queue::push, "v">,
//       Def<"pop", &Queue::pop>> {};
//
// declares a class named `builtins.PyQueue` whose instances embed a `Queue`
// (default-constructed by the class call, destroyed with the instance) and
// whose methods are the member functions listed. The struct names the class
// in the entries it generates (fastcall<PyQueue, &Queue::push>), and its
// `record` is everything the compiled-once half needs: constants, and the
// one cell that holds the type object once it exists. The type object is
// created on first request from a fixed PyType_Spec: flags Py_TPFLAGS_DEFAULT only
// (no subclassing, no cyclic GC, no instance dict or weak references) and the
// slots tp_doc, tp_new, tp_methods, tp_base, tp_dealloc. Everything but the
// constructor, the destructor and the method rows is compiled once, in
// class.cpp.
//
// Requires: all-zero bytes are a valid empty `Contents`. The classes are
// mutable types, so `PyQueue.__new__ = lambda c: object.__new__(c)` makes
// instances whose memory the interpreter zeroed and whose constructor never
// ran; every container core is designed for that.
#pragma once

#include "frame/callable.hpp"
#include "frame/drain.hpp"
#include "frame/instance.hpp"
#include "frame/once.hpp"

#include <array>
#include <new>

namespace velkorin {

// The class's type object, created on first request. A failure is the
// RuntimeError "An error occurred while initializing class <name>" with the
// original error as its __cause__.
Result<PyTypeObject*> class_type(const ClassRecord& cls);

// Allocates an instance of `subtype` (its tp_alloc, or PyType_GenericAlloc).
PyObject* allocate_instance(PyTypeObject* subtype, Failure& failure);

// Frees an instance whose contents are already destroyed and drops its
// reference to its class.
void free_instance(PyObject* self);

// The constructor (tp_new) of the class `Class`.
template <class Class>
PyObject* construct(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    using Contents = typename Class::Contents;
    return trampoline([&](Failure& failure) -> PyObject* {
        // The class call takes no arguments; anything given goes to binding
        // for its message.
        if (tuple_size(args) != 0 || (kwargs != nullptr && dict_size(kwargs) != 0)) [[unlikely]] {
            if (!extract_arguments_tuple_dict(Class::record().new_description, args, kwargs, nullptr, failure))
                return nullptr;
        }
        Contents contents{};
        PyObject* self = allocate_instance(subtype, failure);
        if (self == nullptr) return nullptr;
        Instance<Contents>* r = instance<Contents>(self);
        ::new (static_cast<void*>(&r->contents)) Contents(std::move(contents));
        ::new (static_cast<void*>(&r->head.borrow_flag)) BorrowFlag();
        return self;
    });
}

// Contents declare, at compile time, how deallocation gives up what they
// hold: contents with object references provide give_up_references() (see
// drain.hpp), which deallocation calls until they are empty, in an ordinary
// function, since releasing can run any Python code and must never run inside
// a destructor; contents of plain values declare
// `static constexpr bool holds_references = false;` and are simply destroyed.
template <class Contents>
concept HoldsNoReferences = requires {
    requires !Contents::holds_references;
};

template <class Contents>
void finish_instance(PyObject* self) {
    instance<Contents>(self)->contents.~Contents();
    free_instance(self);
}

template <ReleasesReferences Contents>
bool give_up_some_of(PyObject* self) {
    return instance<Contents>(self)->contents.give_up_references(GiveUp{});
}

template <ReleasesReferences Contents>
inline constexpr DrainOps drain_ops{&give_up_some_of<Contents>, &finish_instance<Contents>};

// The deallocator (tp_dealloc).
template <class Contents>
void destroy(PyObject* self) {
    trampoline_unraisable([&] {
        if constexpr (ReleasesReferences<Contents>) {
            deallocate(self, drain_ops<Contents>);
        } else {
            finish_instance<Contents>(self);
        }
    });
}

template <class Self, FixedString Name, class ContentsType, class... Methods>
class PyClass : public Declares<Methods...> {
public:
    using Contents = ContentsType;
    static constexpr std::size_t method_count = sizeof...(Methods);

    static_assert((Methods::is_method && ...), "every method of a class is a member function of its contents");
    static_assert((std::is_same_v<typename Methods::Signature::Contents, Contents> && ...),
                  "a method's member function must belong to the class's contents type");
    static_assert(std::is_default_constructible_v<Contents>, "the class call builds empty contents");
    static_assert(ReleasesReferences<Contents> != HoldsNoReferences<Contents>,
                  "contents either give up their references through `bool give_up_references(GiveUp)` or declare "
                  "`static constexpr bool holds_references = false;`");

    static consteval auto name_text() { return detail::text_of<Name>(); }
    static consteval auto type_name_text() {
        std::array<char, 9 + Name.length + 1> out{};
        const char prefix[] = "builtins.";
        for (std::size_t i = 0; i < 9; ++i) out[i] = prefix[i];
        for (std::size_t i = 0; i < Name.length; ++i) out[9 + i] = Name.chars[i];
        return out;
    }
    static consteval auto doc_text() { return detail::make_text_signature<false, Name>(); }
    static consteval auto method_rows() {
        return std::array<MethodRow, sizeof...(Methods)>{method_row<Self, Methods::function>()...};
    }

    static constexpr const char* class_name();
    static constexpr ClassRecord& record();
};

// A class's storage, keyed by the class alone so that its symbols stay short.
template <class Class>
inline constexpr auto class_name_text = Class::name_text();
template <class Class>
inline constexpr auto class_type_name = Class::type_name_text();
template <class Class>
inline constexpr auto class_doc = Class::doc_text();
template <class Class>
inline constexpr auto class_method_rows = Class::method_rows();
// Zero (the table's end row included) until the type object is made.
template <class Class>
inline constinit PyMethodDef class_methods[Class::method_count + 1]{};

template <class Class>
inline constinit ClassRecord class_record{
    class_name_text<Class>.data(),
    class_type_name<Class>.data(),
    class_doc<Class>.data(),
    class_methods<Class>,
    class_method_rows<Class>.data(),
    Class::method_count,
    &construct<Class>,
    &destroy<typename Class::Contents>,
    static_cast<int>(sizeof(Instance<typename Class::Contents>)),
    FunctionDescription{class_name_text<Class>.data(), "__new__", nullptr, 0},
    ReleasesReferences<typename Class::Contents>,
};

template <class Self, FixedString Name, class ContentsType, class... Methods>
constexpr const char* PyClass<Self, Name, ContentsType, Methods...>::class_name() {
    return class_name_text<Self>.data();
}

template <class Self, FixedString Name, class ContentsType, class... Methods>
constexpr ClassRecord& PyClass<Self, Name, ContentsType, Methods...>::record() {
    return class_record<Self>;
}

}  // namespace velkorin
