#include "x86candidates.h"
#include "x86startbytes.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace corvapatch;

namespace {

using Starts = std::initializer_list<X86StartBytes::Start>;
const Starts kOneByte = {{0xFF, 0x00, 0x00, 0x00}};
const Starts kPairs = {
    {0xFE, 0xE8, 0x00, 0x00}, {0xFF, 0xFF, 0xCF, 0x05}, {0xFF, 0x0F, 0xF0, 0x80}, {0xFE, 0x48, 0xF9, 0x89}};
const Starts kNone = {};

bool PairHolds(const X86StartBytes::Start &start, uint8_t first, uint8_t second)
{
    return (first & start.firstMask) == start.first && (second & start.secondMask) == start.second;
}

} // namespace

// The cursor stops at every position where a start holds (first byte and the byte after it), skips none of
// them, and stops only where at least the first-byte test holds: in 16-byte blocks and in the shorter tail,
// after jumps forward of any length (the scan skips a found displacement).
TEST(X86StartBytes, CursorStopsAtEveryPositionWhereAStartHolds)
{
    struct Case
    {
        const char *name;
        Starts starts;
    };
    const Case cases[] = {{"one byte, any second", kOneByte}, {"pairs", kPairs}, {"none", kNone}};
    const uint8_t common[] = {0x00, 0xE8, 0xE9, 0xFF, 0x15, 0x25, 0x0F, 0x84, 0x48, 0x8B, 0x8D};
    std::mt19937 random(36);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const X86StartBytes starts(c.starts);
        const auto firstHolds = [&](uint8_t byte) {
            for (const X86StartBytes::Start &start : c.starts) {
                if ((byte & start.firstMask) == start.first)
                    return true;
            }
            return false;
        };
        for (size_t length : {0u, 1u, 15u, 16u, 17u, 33u, 47u, 300u}) {
            std::vector<uint8_t> bytes(length);
            for (uint8_t &byte : bytes)
                byte = random() % 4 == 0 ? uint8_t(random()) : common[random() % sizeof common];
            const auto holds = [&](size_t i) {
                for (const X86StartBytes::Start &start : c.starts) {
                    if (PairHolds(start, bytes[i], i + 1 < length ? bytes[i + 1] : uint8_t(0)) ||
                        (i + 1 == length && (bytes[i] & start.firstMask) == start.first))
                        return true;
                }
                return false;
            };
            X86StartBytes::Cursor cursor(starts, bytes.data(), length);
            size_t at = length > 3 ? 3 : 0;
            while (true) {
                const size_t found = cursor.Next(at);
                ASSERT_LE(found, length);
                for (size_t i = at; i < found; ++i)
                    ASSERT_FALSE(holds(i)) << "skipped " << i << " of " << length;
                if (found == length)
                    break;
                ASSERT_TRUE(firstHolds(bytes[found])) << "stopped at " << found << " of " << length;
                at = found + 1 + random() % 7; // sometimes past the end of the block or of the bytes
                if (at > length)
                    at = length;
            }
        }
    }
}

// The scan asks a rule only where its starts hold, so they must hold wherever the rule matches: every first
// and second byte, with the third byte that the x86-64 mov/lea rule also tests.
TEST(X86StartBytes, StartsHoldWhereverTheirRuleMatches)
{
    struct Case
    {
        const char *name;
        uint32_t (*rule)(const uint8_t *, uint64_t);
        const X86StartBytes &starts;
    };
    const Case cases[] = {{"x86", X86Candidate, kX86Starts}, {"x86-64", X64Candidate, kX64Starts}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // 17 bytes per position tested, so the cursor tests each one inside a whole block.
        std::vector<uint8_t> bytes(256 * 256 * 17 + 1, 0);
        for (unsigned first = 0; first < 256; ++first) {
            for (unsigned second = 0; second < 256; ++second) {
                uint8_t *p = &bytes[(first * 256 + second) * 17];
                p[0] = uint8_t(first);
                p[1] = uint8_t(second);
                p[2] = 0x05;
            }
        }
        X86StartBytes::Cursor cursor(c.starts, bytes.data(), bytes.size());
        size_t matches = 0;
        for (size_t at = 0; at + 17 <= bytes.size(); at += 17) {
            if (c.rule(&bytes[at], 16) == 0)
                continue;
            ++matches;
            ASSERT_EQ(cursor.Next(at), at) << "bytes " << int(bytes[at]) << " " << int(bytes[at + 1]);
        }
        EXPECT_GT(matches, 0u);
    }
}
