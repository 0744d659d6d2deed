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
// slots tp_doc, tp_new, tp_methods, tp_base, tp_dealloc.
//
// Instance record: object header, contents, borrow flag. The borrow flag is 0
// when the contents are free, n > 0 while n shared borrows are held, and all
// ones while the exclusive borrow is held. Only atomic operations touch it
// (acquire when a borrow is taken, release when it is given back), so that
// re-entry from Python code run during a call sees a borrow error instead of a
// container in the middle of a change.
#pragma once

#include "frame/callable.hpp"
#include "frame/once.hpp"

#include <atomic>
#include <cstdint>
#include <new>

namespace velkorin {

enum class BorrowKind { shared, exclusive };

using BorrowFlag = std::atomic<std::uint64_t>;

// Holds one borrow of an instance and gives it back when destroyed, on every
// path including a panic unwinding through the method.
template <BorrowKind Kind>
class BorrowGuard {
public:
    explicit BorrowGuard(BorrowFlag* flag) noexcept : flag_(flag) {}
    BorrowGuard(BorrowGuard&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    BorrowGuard& operator=(BorrowGuard&&) = delete;
    ~BorrowGuard() {
        if (flag_ == nullptr) return;
        if constexpr (Kind == BorrowKind::shared) {
            flag_->fetch_sub(1, std::memory_order_release);
        } else {
            flag_->store(0, std::memory_order_release);
        }
    }

private:
    BorrowFlag* flag_;
};

// What the non-template half of the machinery needs to know about a class.
struct ClassInfo {
    const char* name;       // "PyQueue"
    const char* type_name;  // "builtins.PyQueue"
    const char* doc;        // "PyQueue()\n--\n\n"
    PyMethodDef* methods;
    newfunc tp_new;
    destructor tp_dealloc;
    int basic_size;
    OnceCell<PyTypeObject*>* cell;
};

// The class's type object, created on first request. A failure is the
// RuntimeError "An error occurred while initializing class <name>" with the
// original error as its __cause__.
Result<PyTypeObject*> class_type(const ClassInfo& info);

// The type check of a receiver whose type is not exactly the class.
Result<void> check_receiver_type(const ClassInfo& info, PyObject* self);

[[gnu::cold]] Error borrow_error(BorrowKind kind);

// Checks that `self` is an instance of the class and takes the borrow.
template <BorrowKind Kind>
[[gnu::always_inline]] inline Result<BorrowGuard<Kind>> accept_receiver(const ClassInfo& info, PyObject* self,
                                                                        BorrowFlag& flag) {
    PyTypeObject* const* cached = info.cell->get();
    if (cached == nullptr || !Py_IS_TYPE(self, *cached)) [[unlikely]] {
        if (auto checked = check_receiver_type(info, self); !checked) return std::move(checked.error());
    }
    constexpr std::uint64_t exclusive = ~std::uint64_t{0};
    if constexpr (Kind == BorrowKind::exclusive) {
        std::uint64_t expected = 0;
        if (!flag.compare_exchange_strong(expected, exclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed)) [[unlikely]] {
            return borrow_error(Kind);
        }
    } else {
        std::uint64_t current = flag.load(std::memory_order_relaxed);
        do {
            if (current == exclusive) [[unlikely]] return borrow_error(Kind);
        } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
    }
    return BorrowGuard<Kind>(&flag);
}

// Allocates an instance of `subtype` (its tp_alloc, or PyType_GenericAlloc).
Result<PyObject*> allocate_instance(PyTypeObject* subtype);

// Frees an instance whose contents are already destroyed and drops its
// reference to its class.
void free_instance(PyObject* self);

template <FixedString Name, class Contents, class... Methods>
class PyClass {
public:
    struct Record {
        PyObject header;
        Contents contents;
        BorrowFlag borrow_flag;
    };

    static constexpr const char* name = Name.chars;
    static const ClassInfo info;

private:
    static_assert((Methods::is_method && ...), "every method of a class is a member function of its contents");
    static_assert((std::is_same_v<typename Methods::Signature::Contents, Contents> && ...),
                  "a method's member function must belong to the class's contents type");
    static_assert(std::is_default_constructible_v<Contents>, "the class call builds empty contents");

    static constexpr FunctionDescription new_description{Name.chars, "__new__", nullptr, 0};
    static constexpr auto& doc = detail::text_signature<false, Name>;
    static constexpr auto type_name = [] {
        std::array<char, 9 + Name.length + 1> out{};
        const char prefix[] = "builtins.";
        for (std::size_t i = 0; i < 9; ++i) out[i] = prefix[i];
        for (std::size_t i = 0; i < Name.length; ++i) out[9 + i] = Name.chars[i];
        return out;
    }();

    static Record* record(PyObject* self) noexcept { return reinterpret_cast<Record*>(self); }

    template <class D>
    static Result<PyObject*> call_method(PyObject* self, PyObject* const* slots) {
        constexpr BorrowKind kind = D::Signature::is_const ? BorrowKind::shared : BorrowKind::exclusive;
        auto guard = accept_receiver<kind>(info, self, record(self)->borrow_flag);
        if (!guard) return std::move(guard.error());
        return D::call(slots, record(self)->contents);
    }

    template <class D>
    static PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        static constexpr FunctionDescription description{Name.chars, D::name, D::params, D::arity};
        return trampoline([&]() -> Result<PyObject*> {
            PyObject* slots[D::arity];
            if (auto bound = extract_arguments_fastcall(description, args, nargs, kwnames, slots); !bound) {
                return std::move(bound.error());
            }
            return call_method<D>(self, slots);
        });
    }

    template <class D>
    static PyObject* noargs(PyObject* self, PyObject*) {
        return trampoline([&]() -> Result<PyObject*> { return call_method<D>(self, nullptr); });
    }

    template <class D>
    static PyMethodDef method_def() {
        if constexpr (D::arity == 0) {
            return {D::name, &noargs<D>, METH_NOARGS, D::doc.data()};
        } else {
            return {D::name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<D>)),
                    METH_FASTCALL | METH_KEYWORDS, D::doc.data()};
        }
    }

    static PyObject* tp_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
        return trampoline([&]() -> Result<PyObject*> {
            if (auto bound = extract_arguments_tuple_dict(new_description, args, kwargs, nullptr); !bound) {
                return std::move(bound.error());
            }
            Contents contents{};
            auto self = allocate_instance(subtype);
            if (!self) return std::move(self.error());
            Record* r = record(self.value());
            ::new (static_cast<void*>(&r->contents)) Contents(std::move(contents));
            ::new (static_cast<void*>(&r->borrow_flag)) BorrowFlag(0);
            return self.value();
        });
    }

    static void tp_dealloc(PyObject* self) {
        trampoline_unraisable([&] {
            record(self)->contents.~Contents();
            free_instance(self);
        });
    }

    static inline PyMethodDef methods[] = {method_def<Methods>()..., {nullptr, nullptr, 0, nullptr}};
    static inline OnceCell<PyTypeObject*> cell;
};

template <FixedString Name, class Contents, class... Methods>
inline const ClassInfo PyClass<Name, Contents, Methods...>::info{
    Name.chars, type_name.data(), doc.data(), methods, &tp_new, &tp_dealloc, static_cast<int>(sizeof(Record)), &cell};

}  // namespace velkorin
