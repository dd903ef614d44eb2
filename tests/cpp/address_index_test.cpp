// The dispatch tables' address index, against a linear search, on random and adversarial layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "address_index.hpp"

namespace {

struct Object {};
using Index = Quelt::Python::AddressIndex<Object>;

// Addresses only: the index never reads the objects.
Object* at(uintptr_t address)
{
    return reinterpret_cast<Object*>(address);
}

TEST(AddressIndex, FindsEachObjectsPlaceAndNothingElse)
{
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 3000; ++trial) {
        // Type objects hundreds of bytes apart, pages apart, or anywhere 8-byte aligned.
        const uintptr_t stride = std::vector<uintptr_t>{8, 416, 904, 4096, 1 << 16}[trial % 5];
        const size_t count = rng() % 17;
        uintptr_t address = (rng() % (uintptr_t(1) << 40)) & ~uintptr_t(7);
        std::vector<Object*> objects;
        for (size_t i = 0; i < count; ++i) {
            address += stride * (1 + rng() % 3);
            objects.push_back(at(address));
        }
        const auto index = Index::of(objects);
        ASSERT_TRUE(index.has_value()) << "trial " << trial;
        for (size_t i = 0; i < count; ++i) {
            EXPECT_EQ(index->find(objects[i]), i);
        }
        for (int probe = 0; probe < 40; ++probe) {
            Object* other = at(address - (rng() % 4096) * 8);
            const bool listed = std::find(objects.begin(), objects.end(), other) != objects.end();
            if (!listed) {
                EXPECT_EQ(index->find(other), Index::none);
            }
        }
        EXPECT_EQ(index->find(nullptr), Index::none);
    }
}

TEST(AddressIndex, RefusesObjectsItCannotPart)
{
    // More objects than buckets; addresses that agree in every bit the index may use.
    std::vector<Object*> many, aligned;
    for (uintptr_t i = 1; i <= Index::buckets + 1; ++i) {
        many.push_back(at(i * 4104));
    }
    for (uintptr_t i = 1; i <= 2; ++i) {
        aligned.push_back(at(i << 30));
    }
    EXPECT_FALSE(Index::of(many).has_value());
    EXPECT_FALSE(Index::of(aligned).has_value());
    EXPECT_TRUE(Index::of({}).has_value());
}

} // namespace
