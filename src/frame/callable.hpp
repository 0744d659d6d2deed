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
#pragma once

#include "frame/args.hpp"
#include "frame/convert.hpp"
#include "frame/trampoline.hpp"

#include <array>
#include <cstddef>
#include <functional>
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
concept Returnable = std::is_void_v<T> || requires(T&& v) { IntoPython<std::remove_cvref_t<T>>::convert(std::move(v)); };

template <class... T>
constexpr bool all_convertible(TypeList<T...>) {
    return (Convertible<T> && ...);
}

template <class Return>
Result<PyObject*> into_python(Return&& value) {
    return IntoPython<std::remove_cvref_t<Return>>::convert(std::forward<Return>(value));
}

// Converts the bound slots in declaration order (the first failure, named by
// its parameter, ends the call) and calls the body with the native values.
template <auto Fn, class... Params, std::size_t... I, class... Receiver>
Result<PyObject*> call_converted(TypeList<Params...>, std::index_sequence<I...>, PyObject* const* slots,
                                 const char* const* names, Receiver&... receiver) {
    std::tuple<std::optional<Params>...> values;
    std::optional<Error> failure;
    [[maybe_unused]] auto convert = [&](auto index, PyObject* slot) {
        using Param = std::tuple_element_t<decltype(index)::value, std::tuple<Params...>>;
        auto converted = FromPython<Param>::extract(slot);
        if (!converted) {
            failure.emplace(argument_extraction_error(names[decltype(index)::value], std::move(converted.error())));
            return false;
        }
        std::get<decltype(index)::value>(values).emplace(std::move(converted.value()));
        return true;
    };
    if (!(convert(std::integral_constant<std::size_t, I>{}, slots[I]) && ...)) return std::move(*failure);
    using Return = decltype(std::invoke(Fn, receiver..., std::move(*std::get<I>(values))...));
    if constexpr (std::is_void_v<Return>) {
        std::invoke(Fn, receiver..., std::move(*std::get<I>(values))...);
        return new_reference_to(Py_None).release();
    } else {
        return into_python(std::invoke(Fn, receiver..., std::move(*std::get<I>(values))...));
    }
}

}  // namespace detail

template <FixedString Name, auto Fn, FixedString... Params>
struct Def {
    using Signature = detail::Signature<decltype(Fn)>;
    static_assert(sizeof...(Params) == Signature::arity,
                  "Def: give exactly one parameter name per parameter of the C++ function");
    static_assert(detail::all_convertible(typename Signature::Params{}),
                  "Def: parameters are std::int64_t, String, StrView, IntVec or PyObject* (see convert.hpp)");
    static_assert(detail::Returnable<typename Signature::Return>,
                  "Def: the result must be void, bool, std::int64_t, std::uint64_t, IntVec, OwnedRef, "
                  "or std::optional / Result of one of these (see convert.hpp)");

    static constexpr const char* name = Name.chars;
    static constexpr auto function = Fn;
    static constexpr std::size_t arity = sizeof...(Params);
    static constexpr const char* params[arity == 0 ? 1 : arity] = {Params.chars...};
    static constexpr bool is_method = !std::is_void_v<typename Signature::Contents>;
    static constexpr auto& doc = detail::text_signature<is_method, Name, Params...>;

    // Converts the bound arguments and calls the body on `receiver...`
    // (nothing for a module function, the contents for a method).
    template <class... Receiver>
    static Result<PyObject*> call(PyObject* const* slots, Receiver&... receiver) {
        return detail::call_converted<Fn>(typename Signature::Params{}, std::make_index_sequence<arity>{}, slots,
                                          params, receiver...);
    }
};

// The interpreter's entry point for a module function.
template <class D>
struct FunctionEntry {
    static_assert(!D::is_method, "a module function must be a free function");
    static_assert(D::arity > 0, "module functions take parameters");

    static constexpr FunctionDescription description{nullptr, D::name, D::params, D::arity};

    static PyObject* fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return trampoline([&]() -> Result<PyObject*> {
            PyObject* slots[D::arity];
            if (auto bound = extract_arguments_fastcall(description, args, nargs, kwnames, slots); !bound) {
                return std::move(bound.error());
            }
            return D::call(slots);
        });
    }

    static inline PyMethodDef method_def{D::name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall)),
                                         METH_FASTCALL | METH_KEYWORDS, D::doc.data()};
};

}  // namespace velkorin
