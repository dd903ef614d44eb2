// Fuzz target for Quelt::Onnx::declaredShapes, which reads a model's bytes apart from the
// runtime's own parser. Beyond memory safety, which the sanitizers watch: every
// reported name is bytes of the input, and neither the number of values nor the nesting of a
// shape exceeds what the input has bytes for, nor the nesting the reader's bound.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check.hpp"
#include "onnx/DeclaredShape.hpp"

using Quelt::Fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto shapes = Quelt::Onnx::declaredShapes(data, size);
    // A value takes a key and a length at least, inside a graph that takes as much.
    check(shapes.empty() || 2 * shapes.size() + 2 <= size, "more values than the input has bytes for");
    for (const auto& [name, shape] : shapes) {
        const std::string_view input(reinterpret_cast<const char*>(data), size);
        check(input.find(name) != std::string_view::npos, "a name that is not bytes of the input");
        // Each level is a key and a length for the container, and again for its element.
        size_t depth = 0;
        for (const Quelt::Onnx::DeclaredShape* level = &shape; level->inner; level = level->inner.get()) {
            ++depth;
        }
        check(4 * depth <= size, "a shape nested deeper than the input has bytes for");
        check(depth <= size_t(Quelt::Onnx::maxNesting), "a shape nested beyond the reader's bound");
    }
    return 0;
}
