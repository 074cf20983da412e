#include "disassembler_elf.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace corvapatch;

// The cursor finds the same starts as a byte-by-byte walk: in 16-byte blocks and in the shorter tail, after
// jumps forward of any length (the scan skips a found displacement), and for sets of one to eight bytes.
TEST(X86StartBytes, CursorFindsEveryStartAByteWalkFinds)
{
    struct Case
    {
        const char *name;
        X86StartBytes starts;
        std::vector<uint8_t> firsts;
    };
    const Case cases[] = {
        {"x86-64 set", X86StartBytes{0xE8, 0xE9, 0xFF, 0x0F, 0x48, 0x49}, {0xE8, 0xE9, 0xFF, 0x0F, 0x48, 0x49}},
        {"one byte, 0", X86StartBytes{0x00}, {0x00}},
        {"eight bytes", X86StartBytes{1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"none", X86StartBytes{}, {}},
    };
    std::mt19937 random(36);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t length : {0u, 1u, 15u, 16u, 17u, 47u, 300u}) {
            std::vector<uint8_t> bytes(length);
            for (uint8_t &byte : bytes) {
                // About one byte in four a start, the rest mostly zeros, as in code and data.
                const unsigned roll = random() % 8;
                byte = roll < 2 && !c.firsts.empty() ? c.firsts[random() % c.firsts.size()]
                                                     : uint8_t(roll < 5 ? 0 : random());
            }
            for (size_t from : {size_t(0), size_t(3)}) {
                if (from > length)
                    continue;
                const auto isStart = [&](size_t i) {
                    for (uint8_t first : c.firsts) {
                        if (bytes[i] == first)
                            return true;
                    }
                    return false;
                };
                X86StartBytes::Cursor cursor(c.starts, bytes.data(), length);
                size_t at = from;
                while (true) {
                    size_t expected = at;
                    while (expected < length && !isStart(expected))
                        ++expected;
                    const size_t found = cursor.Next(at);
                    ASSERT_EQ(found, expected) << "length " << length << " from " << at;
                    if (found == length)
                        break;
                    at = found + 1 + random() % 7; // sometimes past the end of the block or of the bytes
                    if (at > length)
                        at = length;
                }
            }
        }
    }
}
