// The allocator is header-only; this unit keeps the core library non-empty
// and checks that the header stands on its own.
#include "frame/memory.hpp"
