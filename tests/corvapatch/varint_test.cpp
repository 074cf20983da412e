#include "bytes.h"
#include "sinkstream.h"
#include "sourcestream.h"
#include "varint.h"

#include <gtest/gtest.h>

#include <climits>

using namespace corvapatch;

TEST(Varint32, DecodesKnownAnswers)
{
    struct Case
    {
        const char *name;
        Bytes bytes;
        bool ok;
        uint32_t value;
        size_t consumed;
    };
    const Case cases[] = {
        {"zero", {0x00}, true, 0, 1},
        {"127", {0x7F}, true, 127, 1},
        {"128", {0x80, 0x01}, true, 128, 2},
        {"300", {0xAC, 0x02}, true, 300, 2},
        {"16383", {0xFF, 0x7F}, true, 16383, 2},
        {"16384", {0x80, 0x80, 0x01}, true, 16384, 3},
        {"stream-set version", {0xEA, 0x9A, 0xCA, 0x09}, true, 20090218, 4},
        {"2^28", {0x80, 0x80, 0x80, 0x80, 0x01}, true, 0x10000000, 5},
        {"max", {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, true, 0xFFFFFFFF, 5},
        {"bits above 32 are dropped", {0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, true, 0xFFFFFFFF, 5},
        {"bit 4 of the fifth byte dropped", {0x80, 0x80, 0x80, 0x80, 0x10}, true, 0, 5},
        {"padded zero", {0x80, 0x00}, true, 0, 2},
        {"followed by more", {0x05, 0xFF}, true, 5, 1},
        {"fifth byte continues", {0xFF, 0xFF, 0xFF, 0xFF, 0x80}, false, 0, 0},
        {"six bytes", {0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, false, 0, 0},
        {"cut short", {0x80}, false, 0, 0},
        {"cut short after four", {0xFF, 0xFF, 0xFF, 0xFF}, false, 0, 0},
        {"empty", {}, false, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SourceStream in;
        in.Init(c.bytes.data(), c.bytes.size());
        uint32_t value = 42;
        EXPECT_EQ(in.ReadVarint32(&value), c.ok);
        EXPECT_EQ(value, c.ok ? c.value : 42u); // untouched on failure
        EXPECT_EQ(in.Remaining(), c.bytes.size() - c.consumed); // the cursor does not move on failure

        uint32_t parsed = 42;
        const uint8_t *next = ParseVarint32(c.bytes.data(), c.bytes.data() + c.bytes.size(), &parsed);
        EXPECT_EQ(next, c.ok ? c.bytes.data() + c.consumed : nullptr);
        EXPECT_EQ(parsed, c.ok ? c.value : 42u);
    }
}

TEST(Varint32, EncodesTheShortestForm)
{
    struct Case
    {
        uint32_t value;
        Bytes bytes;
    };
    const Case cases[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x80, 0x01}},
        {300, {0xAC, 0x02}},
        {16383, {0xFF, 0x7F}},
        {16384, {0x80, 0x80, 0x01}},
        {2097151, {0xFF, 0xFF, 0x7F}},
        {268435455, {0xFF, 0xFF, 0xFF, 0x7F}},
        {268435456, {0x80, 0x80, 0x80, 0x80, 0x01}},
        {20090218, {0xEA, 0x9A, 0xCA, 0x09}},
        {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        SinkStream sink;
        ASSERT_TRUE(sink.WriteVarint32(c.value));
        EXPECT_EQ(bytesOf(sink), c.bytes);
        SourceStream in;
        in.Init(sink);
        uint32_t back = 0;
        ASSERT_TRUE(in.ReadVarint32(&back));
        EXPECT_EQ(back, c.value);
        EXPECT_TRUE(in.Empty());
    }
}

TEST(Varint32, SignedValuesAreZigzagged)
{
    struct Case
    {
        int32_t value;
        Bytes bytes;
    };
    const Case cases[] = {
        {0, {0x00}},
        {-1, {0x01}},
        {1, {0x02}},
        {-2, {0x03}},
        {2, {0x04}},
        {-64, {0x7F}},
        {64, {0x80, 0x01}},
        {INT32_MAX, {0xFE, 0xFF, 0xFF, 0xFF, 0x0F}},
        {INT32_MIN, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        SinkStream sink;
        ASSERT_TRUE(sink.WriteVarint32Signed(c.value));
        EXPECT_EQ(bytesOf(sink), c.bytes);
        SourceStream in;
        in.Init(c.bytes.data(), c.bytes.size());
        int32_t back = 12345;
        ASSERT_TRUE(in.ReadVarint32Signed(&back));
        EXPECT_EQ(back, c.value);
    }
}

TEST(Varint32, SizesAreWrittenByTheirLow32Bits)
{
    SinkStream sink;
    ASSERT_TRUE(sink.WriteSizeVarint32(300));
    if (sizeof(size_t) > 4)
        ASSERT_TRUE(sink.WriteSizeVarint32(static_cast<size_t>(0x100000080ull)));
    else
        ASSERT_TRUE(sink.WriteSizeVarint32(0x80));
    EXPECT_EQ(bytesOf(sink), (Bytes {0xAC, 0x02, 0x80, 0x01}));
}
