// Checks shared by the container core tests.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <new>

#include "core/invariant.hpp"

namespace velkorin::testing {

// Passes when core.verify() finds nothing; otherwise fails with its description.
template <class Core>
::testing::AssertionResult Valid(const Core& core) {
    if (velkorin::core::Violation v = core.verify()) return ::testing::AssertionFailure() << *v;
    return ::testing::AssertionSuccess();
}

// Whether a default-constructed Core is all-zero bytes, padding included.
// The storage is filled with a pattern by volatile stores the compiler cannot
// drop, and the object is default-initialised (not value-initialised, which
// would zero the bytes itself), so only the class's own design can pass.
template <class Core>
bool ConstructsToZeroBytes() {
    alignas(Core) unsigned char bytes[sizeof(Core)];
    volatile unsigned char* fill = bytes;
    for (std::size_t i = 0; i < sizeof(Core); ++i) fill[i] = 0xA5;
    Core* core = ::new (static_cast<void*>(bytes)) Core;
    bool zero = true;
    for (std::size_t i = 0; i < sizeof(Core); ++i) zero = zero && fill[i] == 0;
    core->~Core();
    return zero;
}

}  // namespace velkorin::testing
