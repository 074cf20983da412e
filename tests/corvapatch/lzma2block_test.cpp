#include "bytes.h"
#include "logrecorder.h"
#include "lzma2coder.h"
#include "lzmaioin.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "zeroedpages.h"

#include <gtest/gtest.h>

#include <string>

using namespace corvapatch;

namespace {

// "abc" as one uncompressed chunk: property 0 (4 KiB dictionary), size 3, chunk 01 (dictionary reset) with
// size - 1 = 00 02, the bytes, then the end marker.
const Bytes kAbcBlock = {0x00, 0x03, 0x01, 0x00, 0x02, 'a', 'b', 'c', 0x00};

// "hello hello hello hello\n" (24 bytes) as one LZMA chunk, as `xz --format=raw --lzma2=dict=4KiB` writes it.
const Bytes kHelloStream = {0xE0, 0x00, 0x17, 0x00, 0x0C, 0x5D, 0x00, 0x34, 0x19, 0x49,
                            0xEE, 0x8D, 0xE9, 0x56, 0x0A, 0xC1, 0x21, 0xB0, 0x00, 0x00};
const std::string kHello = "hello hello hello hello\n";

Bytes helloBlock(Bytes sizeBytes, uint8_t property = 0x00)
{
    Bytes block = {property};
    block.insert(block.end(), sizeBytes.begin(), sizeBytes.end());
    block.insert(block.end(), kHelloStream.begin(), kHelloStream.end());
    return block;
}

} // namespace

TEST(Lzma2Block, DecodesKnownBlocksAndStopsAtTheirEnd)
{
    Bytes input = kAbcBlock;
    const Bytes hello = helloBlock({0x18});
    input.insert(input.end(), hello.begin(), hello.end());
    input.push_back(0x77); // whatever follows is the caller's

    SourceStream source;
    source.Init(input.data(), input.size());
    SinkStream dest;
    ASSERT_TRUE(dest.Write(">", 1)); // appends to what is there
    LogRecorder log;
    ASSERT_TRUE(ReadLzma2Block(&source, &dest));
    EXPECT_EQ(source.Remaining(), hello.size() + 1);
    ASSERT_TRUE(ReadLzma2Block(&source, &dest));
    EXPECT_EQ(source.Remaining(), 1u);
    EXPECT_EQ(std::string(dest.Buffer(), dest.Buffer() + dest.Length()), ">abc" + kHello);
    EXPECT_TRUE(log.messages.empty());
}

TEST(Lzma2Block, MalformedBlocksFailWithOneMessage)
{
    struct Case
    {
        const char *name;
        Bytes block;
        const char *message;
    };
    Bytes cut = kAbcBlock;
    cut.pop_back();
    Bytes corrupt = helloBlock({0x18});
    corrupt[8] ^= 0x40;
    const Case cases[] = {
        {"empty", {}, "Error read LZMA2 properties"},
        {"no size", {0x00}, "Error read LZMA2 unpack size"},
        {"size cut short", {0x00, 0x80}, "Error read LZMA2 unpack size"},
        {"one byte more declared", {0x00, 0x04, 0x01, 0x00, 0x02, 'a', 'b', 'c', 0x00}, "Error uncompressing data 0"},
        {"one byte less declared", {0x00, 0x02, 0x01, 0x00, 0x02, 'a', 'b', 'c', 0x00}, "Error uncompressing data 1"},
        {"huge size with a tiny stream",
         {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x01, 0x00, 0x02, 'a', 'b', 'c', 0x00},
         "Error uncompressing data 0"},
        {"end marker missing", cut, "Error uncompressing data 6"},
        {"chunk cut short", {0x00, 0x03, 0x01, 0x00, 0x02, 'a'}, "Error uncompressing data 6"},
        {"invalid chunk header", {0x00, 0x03, 0x03, 0x00}, "Error uncompressing data 1"},
        {"no dictionary reset first",
         {0x00, 0x03, 0x02, 0x00, 0x02, 'a', 'b', 'c', 0x00},
         "Error uncompressing data 1"},
        {"corrupt LZMA data", corrupt, "Error uncompressing data 1"},
        {"property 41", helloBlock({0x18}, 41), "Error uncompressing data 4"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SourceStream source;
        source.Init(c.block.data(), c.block.size());
        SinkStream dest;
        ASSERT_TRUE(dest.Write("keep", 4));
        LogRecorder log;
        EXPECT_FALSE(ReadLzma2Block(&source, &dest));
        EXPECT_EQ(log.messages, std::vector<std::string> {c.message});
        EXPECT_EQ(log.levels, std::vector<int> {1});
        EXPECT_EQ(bytesOf(dest), Bytes({'k', 'e', 'e', 'p'}));
        EXPECT_LE(dest.Capacity(), 256u) << "nothing beyond what the stream can hold is reserved";

        // The reader into fresh pages gives the same verdict with the same message.
        source.Init(c.block.data(), c.block.size());
        ZeroedPages pages;
        LogRecorder pagesLog;
        EXPECT_FALSE(ReadLzma2BlockToPages(&source, &pages));
        EXPECT_EQ(pagesLog.messages, std::vector<std::string> {c.message});
        EXPECT_LE(pages.Length(), 256u);
    }
}

TEST(Lzma2Block, PagesReaderDecodesIntoFreshPagesThatCanBeGivenBack)
{
    Bytes content(5 * 4096 + 100, 0);
    content[4096 + 7] = 'x';
    content[content.size() - 1] = 'y';
    SinkStream block;
    ASSERT_TRUE(CompressLzma2Buffer(content.data(), content.size(), &block));
    SourceStream source;
    source.Init(block.Buffer(), block.Length());
    ZeroedPages pages;
    ASSERT_TRUE(ReadLzma2BlockToPages(&source, &pages));
    EXPECT_EQ(source.Remaining(), 0u);
    ASSERT_EQ(pages.Length(), content.size());
    EXPECT_EQ(Bytes(pages.Data(), pages.Data() + pages.Length()), content);

    // Only the whole pages inside a range are given back; a range outside the buffer is ignored.
    const size_t page = PageSize();
    pages.Release(pages.Data() + 1, 3 * page);
    pages.Release(pages.Data() + page, pages.Length()); // runs past the end
    EXPECT_EQ(pages.Data()[page + 7], 0) << "the page inside the range reads as zeros again";
    EXPECT_EQ(pages.Data()[pages.Length() - 1], 'y') << "the partly covered last page is kept";
}

TEST(Lzma2Block, LargestDictionaryPropertyDecodesASmallBlock)
{
    // Property 40 asks for a 4 GiB dictionary; the block needs 24 bytes of it.
    const Bytes block = helloBlock({0x18}, 40);
    SourceStream source;
    source.Init(block.data(), block.size());
    SinkStream dest;
    ASSERT_TRUE(ReadLzma2Block(&source, &dest));
    EXPECT_EQ(std::string(dest.Buffer(), dest.Buffer() + dest.Length()), kHello);
}

TEST(Lzma2Block, FailedSinkIsReported)
{
    SourceStream source;
    source.Init(kAbcBlock.data(), kAbcBlock.size());
    SinkStream dest;
    ASSERT_FALSE(dest.Reserve(0xFFFFFFFFu));
    LogRecorder log;
    EXPECT_FALSE(ReadLzma2Block(&source, &dest));
    EXPECT_EQ(log.messages, std::vector<std::string> {"unable to allocate sink space"});
}

TEST(Lzma2Block, WriterRoundTrips)
{
    Bytes mixed;
    for (int i = 0; i < 70000; ++i)
        mixed.push_back(static_cast<uint8_t>((i * 7919) >> (i % 5)));
    const Bytes inputs[] = {{}, {'x'}, Bytes(kHello.begin(), kHello.end()), mixed, Bytes(3 << 20, 0x00)};
    for (const Bytes &input : inputs) {
        SCOPED_TRACE(input.size());
        SinkStream block;
        ASSERT_TRUE(CompressLzma2Buffer(input.data(), input.size(), &block));
        ASSERT_GE(block.Length(), 3u);
        EXPECT_EQ(block.Buffer()[0], 28) << "level 9: 64 MiB dictionary";
        SourceStream source;
        source.Init(block);
        SinkStream back;
        ASSERT_TRUE(ReadLzma2Block(&source, &back));
        EXPECT_TRUE(source.Empty());
        EXPECT_EQ(bytesOf(back), input);
    }
}

TEST(Lzma2Block, StreamWriterConsumesTheCursor)
{
    const Bytes input(1000, 'z');
    SourceStream source;
    source.Init(input.data(), input.size());
    ASSERT_TRUE(source.Skip(10));
    SinkStream block;
    ASSERT_TRUE(CompressLzma2Stream(&source, &block));
    EXPECT_TRUE(source.Empty());
    EXPECT_EQ(Bytes(block.Buffer() + 1, block.Buffer() + 3), (Bytes {0xDE, 0x07})); // 990
}

TEST(Lzma2Coder, ScanSumsTheChunkSizes)
{
    uint64_t unpacked = 0;
    size_t packed = 0;
    ASSERT_EQ(ScanLzma2Chunks(kHelloStream.data(), kHelloStream.size(), &unpacked, &packed), LZMA2_OK);
    EXPECT_EQ(unpacked, 24u);
    EXPECT_EQ(packed, kHelloStream.size());
    // LZMA chunk headers that declare the largest unpacked size (2 MiB): with one packed byte the chunk can
    // produce at most 16384 bytes; with 128 packed bytes the whole 2 MiB.
    const Bytes big = {0x9F, 0xFF, 0xFF, 0x00, 0x00, 0xAA, 0x00};
    ASSERT_EQ(ScanLzma2Chunks(big.data(), big.size(), &unpacked, &packed), LZMA2_OK);
    EXPECT_EQ(unpacked, 16384u);
    EXPECT_EQ(packed, 7u);
    Bytes full = {0x9F, 0xFF, 0xFF, 0x00, 0x7F};
    full.resize(full.size() + 128, 0xAA);
    full.push_back(0x00);
    ASSERT_EQ(ScanLzma2Chunks(full.data(), full.size(), &unpacked, &packed), LZMA2_OK);
    EXPECT_EQ(unpacked, 2u << 20);
    EXPECT_EQ(packed, full.size());
    // Uncompressed chunks hold exactly their bytes: two of 2 and 1 bytes.
    const Bytes plain = {0x01, 0x00, 0x01, 'a', 'b', 0x02, 0x00, 0x00, 'c', 0x00, 0xEE};
    ASSERT_EQ(ScanLzma2Chunks(plain.data(), plain.size(), &unpacked, &packed), LZMA2_OK);
    EXPECT_EQ(unpacked, 3u);
    EXPECT_EQ(packed, 10u);
    const Bytes withProperties = {0xC0, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(ScanLzma2Chunks(withProperties.data(), withProperties.size(), &unpacked, &packed), LZMA2_ERROR_INPUT_EOF);
}

TEST(Lzma2Block, ChunkHeadersThatPromiseTooMuchReserveLittle)
{
    // Declares 2 MiB in one LZMA chunk of a single packed byte; such a chunk cannot decode to more than 16 KiB.
    const Bytes block = {0x00, 0x80, 0x80, 0x80, 0x01, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x5D, 0x00, 0x00};
    SourceStream source;
    source.Init(block.data(), block.size());
    SinkStream dest;
    LogRecorder log;
    EXPECT_FALSE(ReadLzma2Block(&source, &dest));
    EXPECT_EQ(dest.Length(), 0u);
    EXPECT_LE(dest.Capacity(), 16384u);
    EXPECT_EQ(log.messages.size(), 1u);
}
