#include "binarydiff.h"
#include "bytes.h"
#include "logrecorder.h"
#include "sinkstream.h"
#include "sourcestream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using namespace corvapatch;

namespace {

const int kMethods[] = {DIFF_METHOD_RAW, DIFF_METHOD_SPLIT, DIFF_METHOD_PACKED};

Bytes Random(std::mt19937 &rng, size_t n)
{
    Bytes b(n);
    for (uint8_t &c : b)
        c = static_cast<uint8_t>(rng());
    return b;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes Slice(const Bytes &b, size_t from, size_t n)
{
    return Bytes(b.begin() + from, b.begin() + from + n);
}

// Table-like records with 32-bit fields, as in executables: the "new" version shifts every stored offset.
Bytes Records(size_t count, uint32_t shift)
{
    Bytes b;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t fields[] = {0x1000 + i * 16 + shift, i, 0xC0DE0000u | (i % 7), 0};
        for (uint32_t f : fields)
            for (int k = 0; k < 4; ++k)
                b.push_back(static_cast<uint8_t>(f >> (8 * k)));
    }
    return b;
}

bool Generate(const Bytes &old, const Bytes &newData, bool withHeader, int method, Bytes *patch)
{
    SourceStream oldStream;
    oldStream.Init(old.data(), old.size());
    SourceStream newStream;
    newStream.Init(newData.data(), newData.size());
    SinkStream out;
    const bool ok = GenerateDiff(&oldStream, &newStream, &out, withHeader, method);
    EXPECT_EQ(oldStream.Remaining(), old.size());
    EXPECT_EQ(newStream.Remaining(), newData.size());
    *patch = bytesOf(out);
    return ok;
}

bool Apply(const Bytes &old, const Bytes &patch, bool withHeader, Bytes *newData)
{
    SourceStream oldStream;
    oldStream.Init(old.data(), old.size());
    SourceStream patchStream;
    patchStream.Init(patch.data(), patch.size());
    SinkStream out;
    const bool ok = ApplyDiff(&oldStream, &patchStream, &out, withHeader);
    EXPECT_TRUE(patchStream.Empty()); // the diff ends where the generator stopped writing
    *newData = bytesOf(out);
    return ok;
}

// Applies a diff without header to old cut at the given points into separate buffers read as one.
bool ApplyJoined(const Bytes &old, const std::vector<size_t> &cuts, const Bytes &patch, Bytes *newData)
{
    std::vector<Bytes> parts;
    size_t from = 0;
    for (const size_t cut : cuts) {
        parts.emplace_back(old.begin() + from, old.begin() + cut);
        from = cut;
    }
    parts.emplace_back(old.begin() + from, old.end());
    std::vector<SourceStream> pieces(parts.size());
    for (size_t i = 0; i < parts.size(); ++i)
        pieces[i].Init(parts[i].data(), parts[i].size());
    SourceStream patchStream;
    patchStream.Init(patch.data(), patch.size());
    SinkStream out;
    const bool ok = ApplyDiffToJoined(pieces.data(), pieces.size(), &patchStream, &out);
    EXPECT_TRUE(patchStream.Empty());
    *newData = bytesOf(out);
    return ok;
}

// The control area's length, the first varint of a method-0 body after the method byte and the new size.
size_t ControlLength(const Bytes &patch)
{
    SourceStream in;
    in.Init(patch.data(), patch.size());
    uint8_t method = 0;
    uint32_t newSize = 0, control = 0;
    EXPECT_TRUE(in.Read(&method, 1) && in.ReadVarint32(&newSize) && in.ReadVarint32(&control));
    return control;
}

struct Pair
{
    std::string name;
    Bytes old;
    Bytes newData;
};

std::vector<Pair> EdgeAndTypicalPairs()
{
    std::mt19937 rng(42);
    const Bytes base = Random(rng, 20000);
    Bytes oneByte = base;
    oneByte[12345] ^= 0x5A;
    Bytes firstAndLast = base;
    firstAndLast.front() ^= 1;
    firstAndLast.back() ^= 1;
    Bytes repetitive;
    for (int i = 0; i < 300000; ++i)
        repetitive.push_back(static_cast<uint8_t>("abcabd"[i % 6]));
    Bytes repetitiveEdited = repetitive;
    repetitiveEdited.insert(repetitiveEdited.begin() + 150001, 500, 'z');
    repetitiveEdited.erase(repetitiveEdited.begin() + 1000, repetitiveEdited.begin() + 1333);
    return {
        {"both empty", {}, {}},
        {"empty old", {}, Slice(base, 0, 1000)},
        {"empty new", Slice(base, 0, 1000), {}},
        {"one byte each", {0x10}, {0x20}},
        {"identical", base, base},
        {"one byte changed", base, oneByte},
        {"first and last byte changed", base, firstAndLast},
        {"block inserted", base, Join({Slice(base, 0, 7000), Random(rng, 3000), Slice(base, 7000, 13000)})},
        {"block deleted", base, Join({Slice(base, 0, 7000), Slice(base, 11000, 9000)})},
        {"blocks moved", base, Join({Slice(base, 15000, 5000), Slice(base, 0, 15000)})},
        {"block duplicated", base, Join({base, Slice(base, 100, 4000)})},
        {"new is a prefix of old", base, Slice(base, 0, 5000)},
        {"new is a suffix of old", base, Slice(base, 15000, 5000)},
        {"unrelated", base, Random(rng, 15000)},
        {"shifted record fields", Records(2000, 0), Records(2000, 0x40)},
        {"large repetitive", repetitive, repetitiveEdited},
        {"all zeros grown", Bytes(50000, 0), Bytes(70000, 0)},
    };
}

} // namespace

TEST(GenerateDiff, RoundTripsForEveryMethodWithAndWithoutHeader)
{
    for (const Pair &p : EdgeAndTypicalPairs()) {
        for (int method : kMethods) {
            for (bool withHeader : {false, true}) {
                SCOPED_TRACE(p.name + ", method " + std::to_string(method) + (withHeader ? ", header" : ""));
                Bytes patch;
                ASSERT_TRUE(Generate(p.old, p.newData, withHeader, method, &patch));
                if (withHeader) {
                    EXPECT_EQ(std::string(patch.begin(), patch.begin() + 8), "CVDIFF10");
                } else {
                    EXPECT_EQ(patch[0], method);
                }
                Bytes result;
                EXPECT_TRUE(Apply(p.old, patch, withHeader, &result));
                EXPECT_EQ(result, p.newData);
            }
        }
    }
}

TEST(GenerateDiff, RoundTripsRandomEdits)
{
    std::mt19937 rng(2718);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        Bytes old = Random(rng, rng() % 5000);
        if (round % 2)
            for (uint8_t &b : old)
                b %= 4; // small alphabet: many short, misleading matches
        Bytes newData = old;
        for (int edit = rng() % 12; edit > 0; --edit) {
            const size_t at = rng() % (newData.size() + 1);
            const size_t n = 1 + rng() % 300;
            switch (rng() % 4) {
            case 0:
                newData.insert(newData.begin() + at, n, static_cast<uint8_t>(rng()));
                break;
            case 1:
                newData.erase(newData.begin() + at, newData.begin() + std::min(newData.size(), at + n));
                break;
            case 2:
                if (!old.empty()) {
                    const size_t from = rng() % old.size();
                    newData.insert(newData.begin() + at, old.begin() + from,
                                   old.begin() + from + std::min(n, old.size() - from));
                }
                break;
            default:
                if (at < newData.size())
                    newData[at] = static_cast<uint8_t>(rng());
            }
        }
        const int method = kMethods[round % (sizeof kMethods / sizeof kMethods[0])];
        Bytes patch, result;
        ASSERT_TRUE(Generate(old, newData, round % 3 == 0, method, &patch));
        EXPECT_TRUE(Apply(old, patch, round % 3 == 0, &result));
        EXPECT_EQ(result, newData);
        if (round % 3 != 0) {
            // Old data in pieces gives the same result wherever they meet, also inside a copy, and with empty
            // pieces among them.
            const size_t a = rng() % (old.size() + 1);
            const size_t b = a + rng() % (old.size() - a + 1);
            const std::vector<size_t> cutsList[] = {{}, {0}, {old.size()}, {a}, {a, b}, {0, a, a, b, old.size()}};
            for (const std::vector<size_t> &cuts : cutsList) {
                Bytes joined;
                EXPECT_TRUE(ApplyJoined(old, cuts, patch, &joined));
                EXPECT_EQ(joined, newData);
            }
        }
    }
}

TEST(GenerateDiff, SimilarInputsNeedFewTriples)
{
    std::mt19937 rng(9);
    const Bytes base = Random(rng, 100000);
    Bytes oneByte = base;
    oneByte[50000] ^= 1;
    Bytes everyHundred = base;
    for (size_t i = 50; i < everyHundred.size(); i += 100)
        everyHundred[i] ^= 0x80;
    const Bytes inserted = Join({Slice(base, 0, 30000), Random(rng, 1000), Slice(base, 30000, 70000)});
    struct Case
    {
        const char *name;
        Bytes newData;
        size_t maxControl; // bytes: each triple takes 3 to 15
        size_t maxPacked; // the whole diff in method 2
    };
    const Case cases[] = {
        {"identical", base, 5, 150},
        {"one byte changed", oneByte, 5, 150},
        {"a byte changed every 100", everyHundred, 5, 300},
        {"block inserted", inserted, 16, 1250},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes patch;
        ASSERT_TRUE(Generate(base, c.newData, false, DIFF_METHOD_RAW, &patch));
        EXPECT_LE(ControlLength(patch), c.maxControl);
        ASSERT_TRUE(Generate(base, c.newData, false, DIFF_METHOD_PACKED, &patch));
        EXPECT_LE(patch.size(), c.maxPacked);
    }
}

TEST(GenerateDiff, RefusesWhatItCannotWrite)
{
    const Bytes small = {1, 2, 3};
    struct Case
    {
        const char *name;
        size_t oldLength;
        size_t newLength;
        int method;
        std::string messages;
    };
    // The lengths are only compared, never read, so the cursors may claim more than the buffer holds.
    const Case cases[] = {
        {"method 3", 3, 3, 3, "Invalid compression method"},
        {"negative method", 3, 3, -1, "Invalid compression method"},
        {"old of 2^31 bytes", size_t(1) << 31, 3, DIFF_METHOD_RAW, " old stream too large"},
        {"new of 2^31 bytes", 3, size_t(1) << 31, DIFF_METHOD_RAW, " new stream too large"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LogRecorder log;
        SourceStream old, newData;
        old.Init(small.data(), c.oldLength);
        newData.Init(small.data(), c.newLength);
        SinkStream patch;
        EXPECT_FALSE(GenerateDiff(&old, &newData, &patch, false, c.method));
        EXPECT_EQ(log.joined(""), c.messages);
        EXPECT_EQ(patch.Length(), 0u);
    }
}
