// What the fuzz targets' oracles share: a failed property stops the run with its text, so that
// libFuzzer keeps the input as a crash and the replay driver reports it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace Quelt::Fuzz {

inline void check(bool holds, const char* property)
{
    if (!holds) {
        std::fprintf(stderr, "property violated: %s\n", property);
        std::abort();
    }
}

} // namespace Quelt::Fuzz
