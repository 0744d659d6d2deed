// Declaring a callable once generates everything the interpreter needs.
//
//   Def<"binary_search", &binary_search, "v", "target">
//
// names the callable, its body (a free function, or a member function of a
// class's contents) and its parameter names. From it the frame derives the
// parameter descriptor, the text-signature doc string, the calling convention
// (METH_NOARGS without parameters, METH_FASTCALL | METH_KEYWORDS otherwise),
// the conversions (from the C++ parameter and return types, see convert.hpp)
// and, for methods, the borrow: a const member function reads the contents
// under a shared borrow, a non-const one changes them under the exclusive one.
//
// The path of one call, q.push(x) on a PyQueue, declared in queue.cpp as
// Def<"push", &Queue::push, "v">:
//   1. The method table holds fastcall<&Queue::push>, the one entry template
//      for every function and method with parameters (noargs<Fn> for those
//      without). It is all a profile shows of the call.
//   2. Inside the trampoline (trampoline.hpp), the arguments are bound: the
//      usual shape, exactly the parameters by position, is one compare;
//      anything else goes to extract_arguments_fastcall() (args.cpp) with the callable's
//      FunctionDescription.
//   3. accept_receiver() (instance.hpp) compares the receiver's type with the
//      class's and takes the borrow; anything unusual goes to compiled-once
//      slow paths.
//   4. invoke<&Queue::push>() converts each bound argument by its C++
//      parameter type (FromPython), calls the body and converts its result
//      (IntoPython). Only this step and the entry are generated per callable.
//   5. The borrow is given back; a failure is raised by raise_failure()
//      (trampoline.cpp), the one place where an Error becomes an exception.
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

template <bool Method, FixedString Name, FixedString... Params>
inline constexpr auto text_signature = make_text_signature<Method, Name, Params...>();

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

}  // namespace detail

// The descriptor of the callable whose body is Fn, for binding and its
// messages. Filled when the module loads, as the method tables are made; a
// body backs exactly one callable.
template <auto Fn>
inline constinit const FunctionDescription* description_of = nullptr;

namespace detail {

// Converts the bound arguments in declaration order (the first failure,
// named by its parameter, ends the call), calls the body and converts its
// result. `receiver` is the contents for a method and ignored otherwise.
template <auto Fn, class... Params, std::size_t... I>
VELKORIN_ALWAYS_INLINE inline PyObject* invoke_with(TypeList<Params...>, std::index_sequence<I...>,
                                                    PyObject* const* slots, void* receiver, Failure& failure) {
    std::tuple<std::optional<Params>...> values;
    [[maybe_unused]] auto convert = [&](auto index) {
        constexpr std::size_t i = decltype(index)::value;
        using Param = std::tuple_element_t<i, std::tuple<Params...>>;
        auto converted = FromPython<Param>::extract(slots[i]);
        if (!converted) [[unlikely]] {
            failure.emplace(argument_extraction_error(description_of<Fn>->params[i], std::move(converted.error())));
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

template <auto Fn>
VELKORIN_ALWAYS_INLINE inline PyObject* invoke(PyObject* const* slots, void* receiver, Failure& failure) {
    using S = SignatureOf<Fn>;
    return invoke_with<Fn>(typename S::Params{}, std::make_index_sequence<S::arity>{}, slots, receiver, failure);
}

// A method: accept the receiver, then invoke under its borrow.
template <auto Fn>
VELKORIN_ALWAYS_INLINE inline PyObject* invoke_method(PyObject* self, PyObject* const* slots, Failure& failure) {
    using Contents = typename SignatureOf<Fn>::Contents;
    auto borrow = accept_receiver<Contents, borrow_of<Fn>>(self, failure);
    if (!borrow) [[unlikely]] return nullptr;
    return invoke<Fn>(slots, &instance<Contents>(self)->contents, failure);
}

// A function or method with parameters: bind them, then invoke.
template <auto Fn>
VELKORIN_ALWAYS_INLINE inline PyObject* call_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames, Failure& failure) {
    constexpr std::size_t arity = SignatureOf<Fn>::arity;
    PyObject* bound[arity];
    PyObject* const* slots = args;
    if (kwnames != nullptr || static_cast<std::size_t>(nargs) != arity) [[unlikely]] {
        if (!extract_arguments_fastcall(*description_of<Fn>, args, nargs, kwnames, bound, failure)) return nullptr;
        slots = bound;
    }
    if constexpr (is_method<Fn>) {
        return invoke_method<Fn>(self, slots, failure);
    } else {
        return invoke<Fn>(slots, nullptr, failure);
    }
}

}  // namespace detail

// The entry of every function and method with parameters (METH_FASTCALL |
// METH_KEYWORDS).
template <auto Fn>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return trampoline([&](Failure& failure) { return detail::call_fastcall<Fn>(self, args, nargs, kwnames, failure); });
}

// The entry of every method without parameters (METH_NOARGS).
template <auto Fn>
PyObject* noargs(PyObject* self, PyObject*) {
    return trampoline([&](Failure& failure) { return detail::invoke_method<Fn>(self, nullptr, failure); });
}

template <FixedString Name, auto Fn, FixedString... Params>
struct Def {
    using Signature = detail::SignatureOf<Fn>;
    static_assert(sizeof...(Params) == Signature::arity,
                  "Def: give exactly one parameter name per parameter of the C++ function");
    static_assert(detail::all_convertible(typename Signature::Params{}),
                  "Def: parameters are std::int64_t, String, StrView, IntVec or PyObject* (see convert.hpp)");
    static_assert(detail::Returnable<typename Signature::Return>,
                  "Def: the result must be void, bool, std::int64_t, std::uint64_t, IntVec, OwnedRef, "
                  "or std::optional / Result of one of these (see convert.hpp)");
    static_assert(detail::is_method<Fn> || Signature::arity > 0, "Def: module functions take parameters");

    static constexpr auto function = Fn;
    static constexpr bool is_method = detail::is_method<Fn>;
    static constexpr const char* params[Signature::arity == 0 ? 1 : Signature::arity] = {Params.chars...};
    static constexpr auto& doc = detail::text_signature<is_method, Name, Params...>;

    // The method table row, made once as the module loads; it also records
    // the descriptor that binding reports against.
    static PyMethodDef method_def(const char* class_name) {
        static constinit FunctionDescription description{nullptr, Name.chars, params, Signature::arity};
        description.class_name = class_name;
        description_of<Fn> = &description;
        if constexpr (Signature::arity == 0) {
            return {Name.chars, &noargs<Fn>, METH_NOARGS, doc.data()};
        } else {
            return {Name.chars, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<Fn>)),
                    METH_FASTCALL | METH_KEYWORDS, doc.data()};
        }
    }
};

}  // namespace velkorin
