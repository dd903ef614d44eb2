// Helpers shared by the C++ tests.
#pragma once

#include <stdexcept>
#include <string>

namespace Quelt::Testing {

// The message of the std::runtime_error that f throws, or a marker when it throws none.
template <typename F>
std::string messageOf(F&& f)
{
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no exception>";
}

} // namespace Quelt::Testing
