#include "crc.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace corvapatch;

namespace {

// The CRC-32 register bit by bit, without its final inversion: the engine's value.
uint32_t BitwiseCrc(const uint8_t *data, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

} // namespace

TEST(Crc, KnownAnswers)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(ComputeCrc(abc, 3), 0xCADBBE3Du);
    EXPECT_EQ(ComputeCrc(nullptr, 0), 0xFFFFFFFFu);
}

// Long inputs take the fast path of whole 64- and 16-byte blocks and a shorter tail: every length around
// those boundaries, at every alignment of the start, whole, extended at an odd split, and in halves.
TEST(Crc, EveryLengthAndAlignmentGivesTheBitwiseValue)
{
    std::mt19937 random(36);
    std::vector<uint8_t> bytes(4096 + 64);
    for (uint8_t &byte : bytes)
        byte = static_cast<uint8_t>(random());
    for (size_t length = 0; length <= 300; ++length) {
        for (size_t offset = 0; offset < 16; offset += 5) {
            SCOPED_TRACE(testing::Message() << "length " << length << " offset " << offset);
            const uint8_t *data = bytes.data() + offset;
            const uint32_t expected = BitwiseCrc(data, length);
            ASSERT_EQ(ComputeCrc(data, length), expected);
            const size_t split = length / 3;
            ASSERT_EQ(ExtendCrc(ComputeCrc(data, split), data + split, length - split), expected);
        }
    }
    const uint32_t expected = BitwiseCrc(bytes.data() + 1, 4096 + 7);
    EXPECT_EQ(ComputeCrc(bytes.data() + 1, 4096 + 7), expected);

    std::vector<uint8_t> large((size_t(1) << 20) + 77);
    for (uint8_t &byte : large)
        byte = static_cast<uint8_t>(random());
    const uint32_t whole = BitwiseCrc(large.data(), large.size());
    EXPECT_EQ(ComputeCrc(large.data(), large.size()), whole);
    EXPECT_EQ(ComputeCrcInHalves(large.data(), large.size()), whole);
}
