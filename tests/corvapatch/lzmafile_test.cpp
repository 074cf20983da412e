#include "bytes.h"
#include "crc.h"
#include "logrecorder.h"
#include "lzmafile.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "sinkstreamset.h"

#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <string>

using namespace corvapatch;

namespace {

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

const Bytes kMagic = {0xE9, 0xAE, 0xA8, 0x3F};
const Bytes kAbcCrc = {0xBD, 0xFC, 0xEE, 0xD6, 0x0C}; // 0xCADBBE3D
const Bytes kAbcBlock = {0x00, 0x03, 0x01, 0x00, 0x02, 'a', 'b', 'c', 0x00};

// A directive-2 container whose block holds the given stream set bytes.
Bytes disAndDiffFile(const Bytes &set)
{
    SinkStream file;
    EXPECT_TRUE(WriteLzmaFileHeader(&file, 0));
    EXPECT_TRUE(file.WriteVarint32(DIRECTIVE_DIS_AND_DIFF));
    EXPECT_TRUE(CompressLzma2Buffer(set.data(), set.size(), &file));
    return bytesOf(file);
}

class LzmaFile : public ::testing::Test
{
protected:
    QString path(const char *name) const { return m_box.path(name); }
    QByteArray native(const char *name) const { return QFile::encodeName(path(name)); }
    void put(const char *name, const Bytes &bytes) const
    {
        ASSERT_TRUE(Sandbox::writeFile(
            path(name), QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<int>(bytes.size()))));
    }
    bool decompress(const char *in, const char *out) const
    {
        return DecompressLzmaFile(native(in).constData(), native(out).constData());
    }

    Sandbox m_box;
};

} // namespace

TEST_F(LzmaFile, PlainContainerUnpacksToItsContent)
{
    put("abc.lzma", concat({kMagic, kAbcCrc, {0x01}, kAbcBlock, {0x99, 0x98}})); // bytes after the block are ignored
    LogRecorder log;
    ASSERT_TRUE(decompress("abc.lzma", "out"));
    EXPECT_EQ(Sandbox::readFile(path("out")), QByteArray("abc"));
    EXPECT_TRUE(log.messages.empty());

    // An empty file packs and unpacks too (its crc is FF FF FF FF 0F, its block 1C 00 and an end marker).
    put("empty.lzma", concat({kMagic, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x01, 0x1C, 0x00, 0x00}}));
    ASSERT_TRUE(decompress("empty.lzma", "empty"));
    EXPECT_TRUE(QFile::exists(path("empty")));
    EXPECT_EQ(Sandbox::readFile(path("empty")), QByteArray());
}

TEST_F(LzmaFile, MalformedContainersFailWithoutTouchingTheOutput)
{
    Bytes wrongCrc = kAbcCrc;
    wrongCrc[0] ^= 0x01;
    Bytes noEndMarker = kAbcBlock;
    noEndMarker.pop_back();
    struct Case
    {
        const char *name;
        Bytes file;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {"empty file", {}, {"could not open lzma file"}},
        {"magic only", kMagic, {"could not read lzma header"}},
        {"no directive", concat({kMagic, kAbcCrc}), {"could not read lzma header"}},
        {"bad magic", concat({{0xE9, 0xAE, 0xA8, 0x3E}, kAbcCrc, {0x01}, kAbcBlock}), {"not lzma file"}},
        {"wrong crc", concat({kMagic, wrongCrc, {0x01}, kAbcBlock}), {"crc mismatch"}},
        {"unknown directive", concat({kMagic, kAbcCrc, {0x03}, kAbcBlock}), {"Unknown preprocessing dirrective"}},
        {"directive 0", concat({kMagic, kAbcCrc, {0x00}, kAbcBlock}), {"Unknown preprocessing dirrective"}},
        {"block missing",
         concat({kMagic, kAbcCrc, {0x01}}),
         {"Error read LZMA2 properties", "could not decompress file"}},
        {"truncated block",
         concat({kMagic, kAbcCrc, {0x01}, noEndMarker}),
         {"Error uncompressing data 6", "could not decompress file"}},
        {"garbage in place of the end marker",
         concat({kMagic, kAbcCrc, {0x01}, noEndMarker, {0x7F}}),
         {"Error uncompressing data 1", "could not decompress file"}},
        {"decodes to one byte fewer than declared",
         concat({kMagic, kAbcCrc, {0x01, 0x00, 0x04, 0x01, 0x00, 0x02, 'a', 'b', 'c', 0x00}}),
         {"Error uncompressing data 0", "could not decompress file"}},
        {"lying unpacked size",
         concat(
             {kMagic, kAbcCrc, {0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, {0x01, 0x00}, {0x02, 'a', 'b', 'c', 0x00}}),
         {"Error uncompressing data 0", "could not decompress file"}},
        {"property 41",
         concat({kMagic, kAbcCrc, {0x01, 41}, Bytes(kAbcBlock.begin() + 1, kAbcBlock.end())}),
         {"Error uncompressing data 4", "could not decompress file"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        put("bad.lzma", c.file);
        put("out", {'o', 'l', 'd'});
        LogRecorder log;
        EXPECT_FALSE(decompress("bad.lzma", "out"));
        EXPECT_EQ(log.messages, c.messages);
        EXPECT_EQ(Sandbox::readFile(path("out")), QByteArray("old"));
    }
}

TEST_F(LzmaFile, MissingInputAndUnwritableOutputFail)
{
    LogRecorder log;
    EXPECT_FALSE(decompress("missing.lzma", "out"));
    put("abc.lzma", concat({kMagic, kAbcCrc, {0x01}, kAbcBlock}));
    ASSERT_TRUE(QDir().mkpath(path("dir")));
    EXPECT_FALSE(decompress("abc.lzma", "dir"));
    EXPECT_FALSE(DecompressLzmaFile(native("abc.lzma").constData(), "/dev/full"));
    EXPECT_EQ(log.messages,
              (std::vector<std::string> {"could not open lzma file", "could not write output file",
                                         "could not write output file"}));
}

TEST_F(LzmaFile, ExecutableFormFailsCleanly)
{
    const Bytes oneStream = {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x00};
    const Bytes twoStreams = {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x00, 0x00};
    const Bytes notASet = {0x01, 0x02, 0x03};
    struct Case
    {
        const char *name;
        Bytes file;
        std::string message;
    };
    const Case cases[] = {
        {"one stream", disAndDiffFile(oneStream), "dis_and_diff too small"},
        {"not a stream set", disAndDiffFile(notASet), "could not init dif_and_dis set"},
        {"programs cannot be read yet", disAndDiffFile(twoStreams), "could not read encoded program"},
        {"block missing", concat({kMagic, kAbcCrc, {0x02}}), "could not decompress file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        put("exe.lzma", c.file);
        LogRecorder log;
        EXPECT_FALSE(decompress("exe.lzma", "out"));
        ASSERT_FALSE(log.messages.empty());
        EXPECT_EQ(log.messages.back(), c.message);
        EXPECT_FALSE(QFile::exists(path("out")));
    }
}

TEST_F(LzmaFile, CompressedFilesHaveTheHeaderAndUnpack)
{
    Bytes content;
    for (int i = 0; i < 5000; ++i)
        content.push_back(static_cast<uint8_t>(i % 251));
    put("plain", content);
    ASSERT_TRUE(CompressLzmaFile(native("plain").constData(), native("packed").constData()));

    MappedFile packed(native("packed").constData(), 0, 0);
    ASSERT_TRUE(packed.IsValid());
    SinkStream expectedHeader;
    ASSERT_TRUE(WriteLzmaFileHeader(&expectedHeader, ComputeCrc(content.data(), content.size())));
    const Bytes header = bytesOf(expectedHeader);
    ASSERT_GT(packed.ViewLength(), header.size() + 3);
    EXPECT_EQ(Bytes(packed.Data(), packed.Data() + 4), kMagic);
    EXPECT_EQ(Bytes(packed.Data(), packed.Data() + header.size()), header);
    EXPECT_EQ(packed.Data()[header.size()], 0x01); // plain directive
    EXPECT_EQ(packed.Data()[header.size() + 1], 28); // block property
    EXPECT_EQ(Bytes(packed.Data() + header.size() + 2, packed.Data() + header.size() + 4), (Bytes {0x88, 0x27}));

    ASSERT_TRUE(decompress("packed", "unpacked"));
    const QByteArray back = Sandbox::readFile(path("unpacked"));
    EXPECT_EQ(Bytes(back.begin(), back.end()), content);

    LogRecorder log;
    EXPECT_FALSE(CompressLzmaFile(native("missing").constData(), native("x").constData()));
    EXPECT_EQ(log.messages, std::vector<std::string> {"could not open file"});
}

TEST_F(LzmaFile, BufferEntryAppendsTheCheckedContent)
{
    const Bytes file = concat({kMagic, kAbcCrc, {0x01}, kAbcBlock});
    SinkStream output;
    ASSERT_TRUE(DecompressLzmaBuffer(file.data(), file.size(), &output));
    EXPECT_EQ(bytesOf(output), (Bytes {'a', 'b', 'c'}));
}

// A small container can declare up to 4 GiB of content: a caller's cap refuses it before anything is decoded
// or allocated, and the output stays empty.
TEST_F(LzmaFile, ContentAboveTheCapFailsBeforeDecoding)
{
    const Bytes abc = concat({kMagic, kAbcCrc, {0x01}, kAbcBlock});
    // Directive 1, property 0, declared size 0xFFFFFFFF (FF FF FF FF 0F), then an empty LZMA2 stream.
    const Bytes huge = concat({kMagic, kAbcCrc, {0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00}});
    struct Case
    {
        const char *name;
        Bytes file;
        size_t cap;
        bool ok;
        std::string log;
    };
    const Case cases[] = {
        {"content of exactly the cap", abc, 3, true, ""},
        {"content one byte above the cap", abc, 2, false,
         "LZMA2 unpack size too large 3 | could not decompress file"},
        {"declared 4 GiB, cap 1 MiB", huge, 1024 * 1024, false,
         "LZMA2 unpack size too large 4294967295 | could not decompress file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LogRecorder log;
        SinkStream output;
        EXPECT_EQ(DecompressLzmaBuffer(c.file.data(), c.file.size(), &output, c.cap), c.ok);
        EXPECT_EQ(bytesOf(output), c.ok ? (Bytes {'a', 'b', 'c'}) : Bytes {});
        EXPECT_EQ(log.joined(" | "), c.log);
    }
    put("in", abc);
    EXPECT_FALSE(DecompressLzmaFile(native("in").constData(), native("out").constData(), 2));
    EXPECT_FALSE(QFile::exists(path("out")));
}
