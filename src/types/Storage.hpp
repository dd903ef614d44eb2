// Quelt::detail::makeStorage: the shared element storage of vectors and matrices, zeroed or
// (Quelt::ForOverwrite) left for the maker to write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace Quelt::detail {

// The standard library adds its bookkeeping to the byte count without checking for overflow,
// so a count near the top of size_t would wrap to a small block that the elements then
// overrun: such counts are refused first, as the allocation failure they are.
template <typename T>
void checkStorageCount(size_t numel)
{
    if (numel > size_t(PTRDIFF_MAX) / sizeof(T)) {
        throw std::bad_array_new_length();
    }
}

// One allocation holds the elements, value-initialised, and their reference count.
template <typename T>
std::shared_ptr<T[]> makeStorage(size_t numel)
{
    checkStorageCount<T>(numel);
    return std::make_shared<T[]>(numel);
}

// The same block left uninitialised, for a maker that writes every element before anyone can
// read one: the zero-fill would be a second pass over memory that the copy makes anyway.
// std::complex zeroes itself even when default-initialised, so a block of such elements is
// made as bytes of their size and alignment, in which the maker's writes create them (they
// are trivially copyable and destructible: nothing else is owed to them).
template <typename T>
std::shared_ptr<T[]> makeStorageForOverwrite(size_t numel)
{
    checkStorageCount<T>(numel);
    if constexpr (std::is_trivially_default_constructible_v<T>) {
        return std::make_shared_for_overwrite<T[]>(numel);
    } else {
        static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
        struct alignas(T) Raw {
            unsigned char bytes[sizeof(T)];
        };
        std::shared_ptr<Raw[]> block = std::make_shared_for_overwrite<Raw[]>(numel);
        T* const elements = reinterpret_cast<T*>(block.get());
        return std::shared_ptr<T[]>(std::move(block), elements);
    }
}

} // namespace Quelt::detail

namespace Quelt {

// Asks a container's constructor for storage that is not initialised; the caller writes every
// element before the container is used. Not bound to Python.
struct ForOverwrite {
    explicit ForOverwrite() = default;
};

} // namespace Quelt
