// Declaring a callable once generates everything the interpreter needs.
//
//   Def<"binary_search", &binary_search, "v", "target">
//
// names the callable, its body (a free function, or a member function of a
// class's contents) and its parameter names. A class (class.hpp) or the
// module's function list (module.hpp) declares its callables as a list of
// Defs, and is their owner. From a Def the frame derives, at compile time,
// the parameter descriptor (description_of<Owner, Fn>), the text-signature doc
// string, the calling convention (METH_NOARGS without parameters,
// METH_FASTCALL | METH_KEYWORDS otherwise), the conversions (from the C++
// parameter and return types, see convert.hpp) and, for methods, the borrow:
// a const member function reads the contents under a shared borrow, a
// non-const one changes them under the exclusive one. A body is declared
// once in its owner's list; declaring it twice fails to compile.
//
// The path of one call, q.push(x) on a PyQueue, declared in queue.cpp as
// Def<"push", &Queue::push, "v"> in the class PyQueue:
//   1. The method table holds fastcall<PyQueue, &Queue::push>, the one entry
//      template for every function and method with parameters (noargs<...>
//      for those without). It is all a profile shows of the call.
//   2. Inside the trampoline (trampoline.hpp), the arguments are bound: the
//      usual shape, exactly the parameters by position, is one compare;
//      anything else goes to extract_arguments_fastcall() (args.cpp) with the
//      callable's constant FunctionDescription.
//   3. accept_receiver() (instance.hpp) compares the receiver's type with the
//      class's, one load from the class's type cell, and takes the borrow;
//      anything unusual goes to compiled-once slow paths.
//   4. invoke<&Queue::push>() converts each bound argument by its C++
//      parameter type (FromPython), calls the body and converts its result
//      (IntoPython). Only this step and the entry are generated per callable.
//   5. The borrow is given back; an Error left in the Failure is raised by
//      the trampoline (raise_failure() in trampoline.cpp).
#pragma once

#include "frame/args.hpp"
#include "frame/convert.hpp"
#include "frame/instance.hpp"
#include "frame/trampoline.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

namespace velkorin {

template <std::size_t N>
struct FixedString {
    char chars[N]{};
    constexpr FixedString(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
    }
    static constexpr std::size_t length = N - 1;
};

namespace detail {

template <class... T>
struct TypeList {};

template <class F>
struct Signature;

template <class R, class... A>
struct Signature<R (*)(A...)> {
    using Return = R;
    using Contents = void;
    using Params = TypeList<std::remove_cvref_t<A>...>;
    static constexpr std::size_t arity = sizeof...(A);
    static constexpr bool is_const = false;
};
template <class R, class... A>
struct Signature<R (*)(A...) noexcept> : Signature<R (*)(A...)> {};

template <class R, class C, class... A>
struct Signature<R (C::*)(A...)> {
    using Return = R;
    using Contents = C;
    using Params = TypeList<std::remove_cvref_t<A>...>;
    static constexpr std::size_t arity = sizeof...(A);
    static constexpr bool is_const = false;
};
template <class R, class C, class... A>
struct Signature<R (C::*)(A...) noexcept> : Signature<R (C::*)(A...)> {};
template <class R, class C, class... A>
struct Signature<R (C::*)(A...) const> : Signature<R (C::*)(A...)> {
    static constexpr bool is_const = true;
};
template <class R, class C, class... A>
struct Signature<R (C::*)(A...) const noexcept> : Signature<R (C::*)(A...) const> {};

template <auto Fn>
using SignatureOf = Signature<decltype(Fn)>;

template <auto Fn>
inline constexpr bool is_method = !std::is_void_v<typename SignatureOf<Fn>::Contents>;

template <auto Fn>
inline constexpr BorrowKind borrow_of = SignatureOf<Fn>::is_const ? BorrowKind::shared : BorrowKind::exclusive;

// "name(a, b)\n--\n\n", or "name($self, a, b)\n--\n\n" for methods.
template <bool Method, FixedString Name, FixedString... Params>
constexpr auto make_text_signature() {
    constexpr std::size_t size = Name.length + 1 + (Method ? 5 : 0) + (0 + ... + Params.length) +
                                 2 * (sizeof...(Params) - (sizeof...(Params) > 0 && !Method ? 1 : 0)) + 6 + 1;
    std::array<char, size> out{};
    std::size_t at = 0;
    auto put = [&](const char* s, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[at++] = s[i];
    };
    put(Name.chars, Name.length);
    put("(", 1);
    [[maybe_unused]] bool first = true;
    if (Method) {
        put("$self", 5);
        first = false;
    }
    (
        [&] {
            if (!first) put(", ", 2);
            put(Params.chars, Params.length);
            first = false;
        }(),
        ...);
    put(")\n--\n\n", 6);
    return out;
}

// The text of S with its terminating zero, as a value to store elsewhere.
template <FixedString S>
consteval auto text_of() {
    std::array<char, S.length + 1> out{};
    for (std::size_t i = 0; i < S.length; ++i) out[i] = S.chars[i];
    return out;
}

// "a\0b\0": the parameter names, one after the other.
template <FixedString... Params>
consteval auto joined_names() {
    std::array<char, (std::size_t{1} + ... + (Params.length + 1))> out{};
    [[maybe_unused]] std::size_t at = 0;
    ((
         [&] {
             for (std::size_t i = 0; i < Params.length; ++i) out[at++] = Params.chars[i];
             out[at++] = 0;
         }()),
     ...);
    return out;
}

template <class T>
concept Convertible = requires(PyObject* obj) { FromPython<T>::extract(obj); };

template <class T>
concept IntoPythonable = requires(T&& v) { IntoPython<std::remove_cvref_t<T>>::convert(std::move(v)); };

template <class T>
concept Returnable = std::is_void_v<T> || IntoPythonable<T> || (is_result_v<T> && IntoPythonable<typename T::value_type>);

template <class... T>
constexpr bool all_convertible(TypeList<T...>) {
    return (Convertible<T> && ...);
}

// Two bodies are the same when they name the same template argument. This
// asks the compiler for type identity rather than comparing pointers, which
// a sanitizing GCC refuses to do in a constant expression.
template <auto>
struct BodyTag {};
template <auto A, auto B>
consteval bool same_body() {
    return std::is_same_v<BodyTag<A>, BodyTag<B>>;
}

template <auto Fn, class... Defs>
struct FindDef;
template <auto Fn, class D, class... Rest>
struct FindDef<Fn, D, Rest...>
    : std::conditional_t<same_body<D::function, Fn>(), std::type_identity<D>, FindDef<Fn, Rest...>> {};

}  // namespace detail

// The callables one owner declares: a class's methods or the module's
// functions.
template <class... Defs>
struct Declares {
    template <auto Fn>
    static constexpr std::size_t count = (std::size_t{0} + ... + (detail::same_body<Defs::function, Fn>() ? 1 : 0));
    static_assert(((count<Defs::function> == 1) && ...),
                  "a body backs exactly one callable: a function is listed in two Defs of one class or module");

    template <auto Fn>
        requires(count<Fn> == 1)
    using DefOf = typename detail::FindDef<Fn, Defs...>::type;
};

// The text of the callable whose body is Fn in Owner's list, kept in
// storage keyed by the owner and the body alone, so that every symbol of a
// callable stays as short as its entry's.
template <class Owner, auto Fn>
inline constexpr auto callable_name = Owner::template DefOf<Fn>::name_text();
template <class Owner, auto Fn>
inline constexpr auto callable_doc = Owner::template DefOf<Fn>::doc_text();
template <class Owner, auto Fn>
inline constexpr auto callable_param_text = Owner::template DefOf<Fn>::param_text();
template <class Owner, auto Fn>
inline constexpr auto callable_params = [] {
    constexpr std::size_t n = Owner::template DefOf<Fn>::arity;
    std::array<const char*, (n == 0 ? 1 : n)> out{};
    const char* at = callable_param_text<Owner, Fn>.data();
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = at;
        while (*at != 0) ++at;
        ++at;
    }
    return out;
}();

// The constant descriptor of the callable whose body is Fn in Owner's list,
// for binding and its messages.
template <class Owner, auto Fn>
inline constexpr FunctionDescription description_of{Owner::class_name(), callable_name<Owner, Fn>.data(),
                                                    callable_params<Owner, Fn>.data(),
                                                    Owner::template DefOf<Fn>::arity};

namespace detail {

// Converts the bound arguments in declaration order (the first failure,
// named by its parameter, ends the call), calls the body and converts its
// result. `receiver` is the contents for a method and ignored otherwise.
template <class Owner, auto Fn, class... Params, std::size_t... I>
VELKORIN_ALWAYS_INLINE inline PyObject* invoke_with(TypeList<Params...>, std::index_sequence<I...>,
                                                    PyObject* const* slots, void* receiver, Failure& failure) {
    std::tuple<std::optional<Params>...> values;
    [[maybe_unused]] auto convert = [&](auto index) {
        constexpr std::size_t i = decltype(index)::value;
        using Param = std::tuple_element_t<i, std::tuple<Params...>>;
        auto converted = FromPython<Param>::extract(slots[i]);
        if (!converted) [[unlikely]] {
            failure.emplace(argument_extraction_error(description_of<Owner, Fn>.params[i], std::move(converted.error())));
            return false;
        }
        std::get<i>(values).emplace(std::move(converted.value()));
        return true;
    };
    if (!(convert(std::integral_constant<std::size_t, I>{}) && ...)) return nullptr;
    auto call = [&]() -> decltype(auto) {
        if constexpr (is_method<Fn>) {
            using Contents = typename SignatureOf<Fn>::Contents;
            return (static_cast<Contents*>(receiver)->*Fn)(std::move(*std::get<I>(values))...);
        } else {
            return Fn(std::move(*std::get<I>(values))...);
        }
    };
    using Return = std::remove_cvref_t<decltype(call())>;
    if constexpr (std::is_void_v<Return>) {
        call();
        return Py_None;
    } else if constexpr (is_result_v<Return>) {
        auto result = call();
        if (!result) [[unlikely]] {
            failure.emplace(std::move(result.error()));
            return nullptr;
        }
        return IntoPython<typename Return::value_type>::convert(std::move(result.value()));
    } else {
        return IntoPython<Return>::convert(call());
    }
}

template <class Owner, auto Fn>
VELKORIN_ALWAYS_INLINE inline PyObject* invoke(PyObject* const* slots, void* receiver, Failure& failure) {
    using S = SignatureOf<Fn>;
    return invoke_with<Owner, Fn>(typename S::Params{}, std::make_index_sequence<S::arity>{}, slots, receiver, failure);
}

// A method: accept the receiver, then invoke under its borrow.
template <class Owner, auto Fn>
VELKORIN_ALWAYS_INLINE inline PyObject* invoke_method(PyObject* self, PyObject* const* slots, Failure& failure) {
    using Contents = typename SignatureOf<Fn>::Contents;
    auto borrow = accept_receiver<Owner, borrow_of<Fn>>(self, failure);
    if (!borrow) [[unlikely]] return nullptr;
    return invoke<Owner, Fn>(slots, &instance<Contents>(self)->contents, failure);
}

// A function or method with parameters: bind them, then invoke.
template <class Owner, auto Fn>
VELKORIN_ALWAYS_INLINE inline PyObject* call_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames, Failure& failure) {
    constexpr std::size_t arity = SignatureOf<Fn>::arity;
    PyObject* bound[arity];
    PyObject* const* slots = args;
    if (kwnames != nullptr || static_cast<std::size_t>(nargs) != arity) [[unlikely]] {
        if (!extract_arguments_fastcall(description_of<Owner, Fn>, args, nargs, kwnames, bound, failure)) return nullptr;
        slots = bound;
    }
    if constexpr (is_method<Fn>) {
        return invoke_method<Owner, Fn>(self, slots, failure);
    } else {
        return invoke<Owner, Fn>(slots, nullptr, failure);
    }
}

// What an entry hands its trampoline. Named function objects rather than
// lambdas, so that they are forced inline like the rest of the path: a
// lambda around a large body (an insertion that may grow its table) was left
// out of line, behind a closure built on every call.
template <class Owner, auto Fn>
struct FastcallBody {
    PyObject* self;
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;
    VELKORIN_ALWAYS_INLINE PyObject* operator()(Failure& failure) const {
        return call_fastcall<Owner, Fn>(self, args, nargs, kwnames, failure);
    }
};

template <class Owner, auto Fn>
struct NoargsBody {
    PyObject* self;
    VELKORIN_ALWAYS_INLINE PyObject* operator()(Failure& failure) const {
        return invoke_method<Owner, Fn>(self, nullptr, failure);
    }
};

}  // namespace detail

// The entry of every function and method with parameters (METH_FASTCALL |
// METH_KEYWORDS).
template <class Owner, auto Fn>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return trampoline(detail::FastcallBody<Owner, Fn>{self, args, nargs, kwnames});
}

// The entry of every method without parameters (METH_NOARGS).
template <class Owner, auto Fn>
PyObject* noargs(PyObject* self, PyObject*) {
    return trampoline(detail::NoargsBody<Owner, Fn>{self});
}

template <FixedString Name, auto Fn, FixedString... Params>
struct Def {
    using Signature = detail::SignatureOf<Fn>;
    static_assert(sizeof...(Params) == Signature::arity,
                  "Def: give exactly one parameter name per parameter of the C++ function");
    static_assert(detail::all_convertible(typename Signature::Params{}),
                  "Def: parameters are std::int64_t, StrView, IntVec or PyObject* (see convert.hpp)");
    static_assert(detail::Returnable<typename Signature::Return>,
                  "Def: the result must be void, bool, std::int64_t, std::uint64_t, IntVec, OwnedRef, "
                  "or std::optional / Result of one of these (see convert.hpp)");
    static_assert(detail::is_method<Fn> || Signature::arity > 0, "Def: module functions take parameters");

    static constexpr auto function = Fn;
    static constexpr bool is_method = detail::is_method<Fn>;
    static constexpr std::size_t arity = Signature::arity;
    static consteval auto name_text() { return detail::text_of<Name>(); }
    static consteval auto doc_text() { return detail::make_text_signature<is_method, Name, Params...>(); }
    static consteval auto param_text() { return detail::joined_names<Params...>(); }
};

// The method table row of the callable whose body is Fn in Owner's list.
template <class Owner, auto Fn>
consteval MethodRow method_row() {
    const char* name = callable_name<Owner, Fn>.data();
    const char* doc = callable_doc<Owner, Fn>.data();
    if constexpr (Owner::template DefOf<Fn>::arity == 0) {
        return {name, &noargs<Owner, Fn>, nullptr, doc};
    } else {
        return {name, nullptr, &fastcall<Owner, Fn>, doc};
    }
}

}  // namespace velkorin
