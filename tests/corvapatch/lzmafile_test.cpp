#include "bytes.h"
#include "crc.h"
#include "encodedprogram.h"
#include "logrecorder.h"
#include "lzmafile.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "sinkstreamset.h"

#include "support/disanddiffwriter.h"
#include "support/programroundtrip.h"
#include "support/patchpieces.h"
#include "support/filesizelimit.h"
#include "support/qtprinters.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>

#include <iostream>
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

// Encoded programs as stream sets, by hand. "abc": stream 0 image base 0 and no origins, stream 1 the ops
// (one ENC_COPY), stream 2 the copy bytes (count 3, "abc"), streams 3 to 6 four empty tables, stream 7 the copy
// counts (one count, 3).
const Bytes kAbcProgram = {0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0x02, 0x02, 0x04, 0x01, 0x01, 0x01, 0x01, 0x02, 0x00, 0x00,
                           0x00, 0x00, 0x01, 0x01, 0x03, 'a',  'b',  'c',  0x00, 0x00, 0x00, 0x00, 0x01, 0x03};
// One ENC_COPY but no copy count: it reads, but cannot be assembled.
const Bytes kCopyWithoutCount = {0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0x02, 0x02, 0x01, 0x01, 0x01, 0x01, 0x01,
                                 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
// Ten empty streams: not even the image base can be read.
const Bytes kEmptyProgramSet = {0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0x00, 0x00, 0x00, 0x00, 0x00};

// A directive-2 container whose block holds the given stream set bytes.
Bytes disAndDiffFile(const Bytes &set)
{
    SinkStream file;
    EXPECT_TRUE(WriteLzmaFileHeader(&file, 0));
    EXPECT_TRUE(file.WriteVarint32(DIRECTIVE_DIS_AND_DIFF));
    EXPECT_TRUE(CompressLzma2Buffer(set.data(), set.size(), &file));
    return bytesOf(file);
}

// A raw LZMA2 stream as `xz --format=raw --lzma2=<options>` writes it.
Bytes xzRawStream(const Bytes &content, const QString &options)
{
    QProcess xz;
    xz.start(QStringLiteral("xz"), {"--format=raw", "--lzma2=" + options, "-c"});
    EXPECT_TRUE(xz.waitForStarted());
    xz.write(reinterpret_cast<const char *>(content.data()), qint64(content.size()));
    xz.closeWriteChannel();
    EXPECT_TRUE(xz.waitForFinished(120000));
    EXPECT_EQ(xz.exitCode(), 0);
    const QByteArray out = xz.readAllStandardOutput();
    return Bytes(out.begin(), out.end());
}

// A directive-1 container around a raw stream: the header with content's crc, then the block's property byte
// and size. crcDelta and sizeDelta damage the two fields.
Bytes plainContainer(const Bytes &content, const Bytes &stream, uint8_t property, uint32_t crcDelta = 0,
                     int64_t sizeDelta = 0)
{
    SinkStream file;
    EXPECT_TRUE(WriteLzmaFileHeader(&file, ComputeCrc(content.data(), content.size()) + crcDelta));
    EXPECT_TRUE(file.WriteVarint32(DIRECTIVE_PLAIN));
    EXPECT_TRUE(file.Write(&property, 1));
    EXPECT_TRUE(file.WriteVarint32(static_cast<uint32_t>(int64_t(content.size()) + sizeDelta)));
    EXPECT_TRUE(file.Write(stream.data(), stream.size()));
    return bytesOf(file);
}

// Half bytes that xz stores (uncompressed chunks), half text that it compresses (LZMA chunks).
Bytes mixedContent(size_t size)
{
    Bytes content(size);
    uint32_t x = 12345;
    for (size_t i = 0; i < size / 2; ++i) {
        x = x * 1664525u + 1013904223u;
        content[i] = static_cast<uint8_t>(x >> 24);
    }
    for (size_t i = size / 2; i < size; ++i)
        content[i] = static_cast<uint8_t>("line of text with a number "[i % 27] + (i / 4096) % 7);
    return content;
}

// A container that must not unpack, and the messages its failure logs.
struct FailureCase
{
    const char *name;
    Bytes file;
    std::vector<std::string> messages;
};

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
    // The files in the sandbox's top directory, hidden ones included.
    QStringList entries() const
    {
        return QDir(m_box.root()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    }
    // Unpacking c.file over an earlier "out" fails with exactly c.messages, keeps "out" and leaves no hidden file.
    void expectFailureKeepingTheEarlierFile(const FailureCase &c) const
    {
        SCOPED_TRACE(c.name);
        put("bad.lzma", c.file);
        put("out", {'o', 'l', 'd'});
        LogRecorder log;
        EXPECT_FALSE(decompress("bad.lzma", "out"));
        EXPECT_EQ(log.messages, c.messages);
        EXPECT_EQ(Sandbox::readFile(path("out")), QByteArray("old"));
        EXPECT_EQ(entries(), (QStringList {"bad.lzma", "out"})) << "no hidden file is left";
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
    const FailureCase cases[] = {
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
    for (const FailureCase &c : cases)
        expectFailureKeepingTheEarlierFile(c);
}

TEST_F(LzmaFile, MissingInputAndUnwritableOutputFail)
{
    LogRecorder log;
    EXPECT_FALSE(decompress("missing.lzma", "out"));
    put("abc.lzma", concat({kMagic, kAbcCrc, {0x01}, kAbcBlock}));
    ASSERT_TRUE(QDir().mkpath(path("dir")));
    EXPECT_FALSE(decompress("abc.lzma", "dir"));
    EXPECT_FALSE(decompress("abc.lzma", "nowhere/out"));
    EXPECT_EQ(log.messages,
              (std::vector<std::string> {"could not open lzma file", "could not write output file",
                                         "could not write output file"}));
    EXPECT_EQ(entries(), QStringList {"abc.lzma"});
}

// A disk that fills up in the middle of a large output: nothing is left of it and the earlier file stays.
TEST_F(LzmaFile, WriteFailingMidwayLeavesTheEarlierFile)
{
    const Bytes content = mixedContent(3 * 1024 * 1024);
    put("big.lzma", plainContainer(content, xzRawStream(content, "preset=1,dict=1MiB"), 16));
    put("out", {'o', 'l', 'd'});
    LogRecorder log;
    {
        FileSizeLimit limit(1024 * 1024);
        ASSERT_TRUE(limit.active());
        EXPECT_FALSE(decompress("big.lzma", "out"));
    }
    EXPECT_EQ(log.messages, std::vector<std::string> {"could not write output file"});
    EXPECT_EQ(Sandbox::readFile(path("out")), QByteArray("old"));
    EXPECT_EQ(entries(), (QStringList {"big.lzma", "out"}));
}

TEST_F(LzmaFile, ExecutableFormFailsCleanly)
{
    const Bytes oneStream = {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x00};
    const Bytes noStreams = {0xEA, 0x9A, 0xCA, 0x09, 0x00};
    const Bytes twoEmptyStreams = {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x00, 0x00};
    const Bytes notASet = {0x01, 0x02, 0x03};
    // The "abc" program with one byte in its stream 8, which a program never uses.
    Bytes strayByte = kAbcProgram;
    strayByte[13] = 0x01;
    strayByte.push_back(0x58);
    const Bytes abcToAbcd = {0x00, 0x04, 0x03, 0x03, 0x01, 0x06, 0x02, 0x00, 0x00, 0x00, 0x00, 'd'};
    const Bytes abcdCrc = {0xEE, 0xE5, 0xF4, 0x93, 0x01};
    auto file = [&](const std::vector<Bytes> &streams) {
        return patchwriter::DisAndDiffContainerOfStreams(streams, 0x127D32EE);
    };
    struct Case
    {
        const char *name;
        Bytes file;
        std::string message;
    };
    const Case cases[] = {
        {"one stream", disAndDiffFile(oneStream), "dis_and_diff too small"},
        {"no streams", disAndDiffFile(noStreams), "dis_and_diff too small"},
        {"not a stream set", disAndDiffFile(notASet), "could not init dif_and_dis set"},
        {"program stream empty", disAndDiffFile(twoEmptyStreams), "could not init program_source set"},
        {"program stream not a set", file({notASet, abcToAbcd}), "could not init program_source set"},
        {"program of ten empty streams", file({kEmptyProgramSet, abcToAbcd}), "could not read encoded program"},
        {"program with a stray byte", file({strayByte, abcToAbcd}), "could not read encoded program"},
        {"second program does not read", file({kAbcProgram, kEmptyProgramSet, abcToAbcd}),
         "could not read encoded program"},
        {"program's copy has no count", file({kCopyWithoutCount, abcToAbcd}), "could not assemble program"},
        {"diff not a diff", file({kAbcProgram, {0x03}}), "could not apply diff"},
        {"diff reads past the assembly", file({kAbcProgram, {0x00, 0x04, 0x03, 0x04, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}),
         "could not apply diff"},
        {"diff missing", file({kAbcProgram, {}}), "could not apply diff"},
        {"crc of another content", patchwriter::DisAndDiffContainerOfStreams({kAbcProgram, abcToAbcd}, 0x127D32EF),
         "crc mismatch"},
        {"block missing", concat({kMagic, abcdCrc, {0x02}}), "could not decompress file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        put("exe.lzma", c.file);
        LogRecorder log;
        EXPECT_FALSE(decompress("exe.lzma", "out"));
        ASSERT_FALSE(log.messages.empty());
        EXPECT_EQ(log.messages.back(), c.message);
        EXPECT_FALSE(QFile::exists(path("out")));

        put("earlier", {'o', 'l', 'd'});
        EXPECT_FALSE(decompress("exe.lzma", "earlier"));
        EXPECT_EQ(Sandbox::readFile(path("earlier")), QByteArray("old"));
    }
}

TEST_F(LzmaFile, ExecutableFormUnpacksToItsContent)
{
    // By hand: the "abc" program, then a diff that copies its three bytes and appends "d".
    const Bytes abcToAbcd = {0x00, 0x04, 0x03, 0x03, 0x01, 0x06, 0x02, 0x00, 0x00, 0x00, 0x00, 'd'};
    const Bytes handMade = concat({kMagic,
                                   {0xEE, 0xE5, 0xF4, 0x93, 0x01}, // crc of "abcd": 0x127D32EE
                                   {0x02},
                                   {0x00, 0x30, 0x01, 0x00, 0x2F}, // a block of 48 bytes in one stored chunk
                                   {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x1D, 0x0C},
                                   kAbcProgram,
                                   abcToAbcd,
                                   {0x00}});
    put("abcd.lzma", handMade);
    LogRecorder log;
    ASSERT_TRUE(decompress("abcd.lzma", "out"));
    EXPECT_EQ(Sandbox::readFile(path("out")), QByteArray("abcd"));
    EXPECT_TRUE(log.messages.empty());

    // Three programs assembled one after the other: a copy of four bytes; at RVA 0x1000 a relative reference
    // to 0x1010, which is 0x1010 - 4 - 0x1000 = 0x0C; a lone byte. The diff copies all nine bytes unchanged.
    EncodedProgram head, reference, bang;
    ASSERT_TRUE(head.AppendCopy(4, reinterpret_cast<const uint8_t *>("head")));
    ASSERT_TRUE(reference.AppendOrigin(0x1000));
    ASSERT_TRUE(reference.SetRel32Rva(0, 0x1010));
    ASSERT_TRUE(reference.AppendRel32(0));
    ASSERT_TRUE(bang.AppendCopy(1, reinterpret_cast<const uint8_t *>("!")));
    const Bytes keepNine = concat({{0x00, 0x09, 0x03, 0x09, 0x00, 0x12, 0x00, 0x00}, Bytes(9, 0x00)});
    const Bytes expected = {'h', 'e', 'a', 'd', 0x0C, 0x00, 0x00, 0x00, '!'};
    put("three.lzma",
        patchwriter::DisAndDiffContainerOfStreams({patchwriter::EncodedProgramBytes(&head),
                                                   patchwriter::EncodedProgramBytes(&reference),
                                                   patchwriter::EncodedProgramBytes(&bang), keepNine},
                                                  0x517B9170)); // crc of the nine bytes
    ASSERT_TRUE(decompress("three.lzma", "three"));
    const QByteArray three = Sandbox::readFile(path("three"));
    EXPECT_EQ(Bytes(three.begin(), three.end()), expected);

    // The writer's container of other content: its diff turns the same assembly into that content.
    Bytes content;
    for (int i = 0; i < 3000; ++i)
        content.push_back(static_cast<uint8_t>(i % 7 == 0 ? 'h' : i % 13));
    put("packed.lzma", patchwriter::DisAndDiffContainer({&head, &reference, &bang}, content, true));
    ASSERT_TRUE(decompress("packed.lzma", "packed"));
    const QByteArray packed = Sandbox::readFile(path("packed"));
    EXPECT_EQ(Bytes(packed.begin(), packed.end()), content);
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

// The executable form's block holds the programs and a diff as long as the file, so it is always larger than the
// file: a cap of the file's own size bounds the file, and the block and the assembly get their own bound from
// it. Four real executables (a PIC x86 shared object, a PE exe, a Mach-O executable, Debian's xz).
TEST_F(LzmaFile, ExecutablesInTheExecutableFormUnpackUnderACapOfTheirOwnSize)
{
    const std::string fixtures = CORVALINK_SOURCE_DIR "/tests/corvapatch/fixtures/";
    const std::string names[] = {fixtures + "elf/x86-pic.so", fixtures + "pe/x86.exe", fixtures + "macho/x64-exe",
                                 "/usr/bin/xz"};
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        const Bytes executable = ReadWholeFile(name);
        ASSERT_FALSE(executable.empty());
        size_t blockSize = 0;
        size_t assemblySize = 0;
        const Bytes container = patchwriter::DisAndDiffContainerOfExecutable(executable, &blockSize, &assemblySize);
        ASSERT_FALSE(container.empty());
        // The bound leaves a real container far from it: its block is below 3 bytes per byte of file.
        EXPECT_GT(blockSize, executable.size());
        EXPECT_LT(blockSize, 3 * executable.size());
        EXPECT_LE(assemblySize, executable.size() + 4096);
        std::cout << name << ": block " << blockSize << ", assembly " << assemblySize << ", file "
                  << executable.size() << "\n";

        SinkStream output;
        EXPECT_TRUE(DecompressLzmaBuffer(container.data(), container.size(), &output, executable.size()));
        EXPECT_EQ(bytesOf(output), executable);

        LogRecorder log;
        SinkStream refused;
        EXPECT_FALSE(DecompressLzmaBuffer(container.data(), container.size(), &refused, executable.size() - 1));
        EXPECT_EQ(log.joined(" | "), "Corrupt patch | could not apply diff");
    }
}

// A small container in the executable form cannot declare a huge block or assembly either: both are held to
// 8 bytes per byte of the cap plus 1 MiB. The product ini's unpack takes no executable form at all.
TEST_F(LzmaFile, ExecutableFormBoundsItsBlockAndCanBeRefused)
{
    EXPECT_EQ(MaxDisAndDiffIntermediateSize(1000), 8000u + 1024 * 1024);
    EXPECT_EQ(MaxDisAndDiffIntermediateSize(SIZE_MAX), size_t(SIZE_MAX));

    // Directive 2 with a block that declares 0xFFFFFFFF bytes; under a cap of 1 KiB it is refused unread.
    const Bytes huge = concat({kMagic, kAbcCrc, {0x02, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00}});
    LogRecorder log;
    SinkStream output;
    EXPECT_FALSE(DecompressLzmaBuffer(huge.data(), huge.size(), &output, 1024));
    EXPECT_EQ(log.joined(" | "), "LZMA2 unpack size too large 4294967295 | could not decompress file");

    // 300000 absolute references to one label: 600 KB of ops and indexes that assemble to 1.2 MB, above the
    // bound for a file of 1 byte, so the assembly stops there.
    EncodedProgram references;
    ASSERT_TRUE(references.SetAbs32Rva(0, 0x1000));
    for (int i = 0; i < 300000; ++i)
        ASSERT_TRUE(references.AppendAbs32(0));
    const Bytes container = patchwriter::DisAndDiffContainerOfStreams(
        {patchwriter::EncodedProgramBytes(&references), patchwriter::ByteDiff({}, {'x'})}, 0, true);
    LogRecorder assemblyLog;
    SinkStream tooLarge;
    EXPECT_FALSE(DecompressLzmaBuffer(container.data(), container.size(), &tooLarge, 1));
    EXPECT_EQ(assemblyLog.joined(" | "), "could not assemble program");

    put("exe.lzma", patchwriter::DisAndDiffContainer({&references}, {'x'}));
    put("plain.lzma", concat({kMagic, kAbcCrc, {0x01}, kAbcBlock}));
    LogRecorder formLog;
    EXPECT_FALSE(DecompressLzmaFile(native("exe.lzma").constData(), native("out").constData(), SIZE_MAX,
                                    LZMA_FORMS_PLAIN_ONLY));
    EXPECT_EQ(formLog.joined(" | "), "preprocessing dirrective not allowed");
    EXPECT_FALSE(QFile::exists(path("out")));
    EXPECT_TRUE(DecompressLzmaFile(native("plain.lzma").constData(), native("out").constData(), SIZE_MAX,
                                   LZMA_FORMS_PLAIN_ONLY));
    EXPECT_EQ(Sandbox::readFile(path("out")), QByteArray("abc"));
}

// Containers around streams of another encoder, several MiB long: many chunks of both kinds, and output
// pieces far more than one.
TEST_F(LzmaFile, XzMadeContainersUnpackExactly)
{
    struct Case
    {
        const char *name;
        size_t size;
        QString options;
        uint8_t property;
    };
    const Case cases[] = {
        {"9 MiB, 8 MiB dictionary", 9 * 1024 * 1024 + 7, "preset=6,dict=8MiB", 22},
        {"3 MiB, smallest dictionary", 3 * 1024 * 1024 - 1, "preset=0,dict=4KiB", 0},
        {"dictionary property above what the stream uses", 2 * 1024 * 1024, "preset=1,dict=1MiB", 40},
    };
    const QFile::Permissions kOwnerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    const QFile::Permissions kModeBits = kOwnerOnly | QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
        QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes content = mixedContent(c.size);
        put("xz.lzma", plainContainer(content, xzRawStream(content, c.options), c.property));
        put("out", {'o', 'l', 'd'});
        ASSERT_TRUE(QFile::setPermissions(path("out"), kOwnerOnly));
        LogRecorder log;
        ASSERT_TRUE(decompress("xz.lzma", "out"));
        EXPECT_TRUE(log.messages.empty());
        const QByteArray out = Sandbox::readFile(path("out"));
        EXPECT_TRUE(Bytes(out.begin(), out.end()) == content);
        EXPECT_EQ(QFile::permissions(path("out")) & kModeBits, kOwnerOnly) << "the replaced file's mode carries over";
        EXPECT_EQ(entries(), (QStringList {"out", "xz.lzma"}));
    }
}

// The same checks as for a block in memory, on a stream of many chunks: each fails with its message and
// leaves the earlier file and no hidden file.
TEST_F(LzmaFile, DamagedLargeContainersFailLeavingTheEarlierFile)
{
    const Bytes content = mixedContent(5 * 1024 * 1024);
    const Bytes stream = xzRawStream(content, "preset=6,dict=8MiB");
    Bytes corrupt = stream;
    corrupt[corrupt.size() - 1000] ^= 0x55; // in the LZMA chunks of the text
    const Bytes cut(stream.begin(), stream.begin() + stream.size() / 2);
    const FailureCase cases[] = {
        {"crc of other content", plainContainer(content, stream, 22, 1), {"crc mismatch"}},
        {"size one byte larger than the stream's content",
         plainContainer(content, stream, 22, 0, 1),
         {"Error uncompressing data 0", "could not decompress file"}},
        {"size one byte smaller than the stream's content",
         plainContainer(content, stream, 22, 0, -1),
         {"Error uncompressing data 1", "could not decompress file"}},
        {"stream cut in half", plainContainer(content, cut, 22),
         {"Error uncompressing data 6", "could not decompress file"}},
        {"corrupt LZMA data near the end", plainContainer(content, corrupt, 22),
         {"Error uncompressing data 1", "could not decompress file"}},
    };
    for (const FailureCase &c : cases) {
        expectFailureKeepingTheEarlierFile(c);

        // The container in memory gives the same verdict.
        SCOPED_TRACE(c.name);
        LogRecorder memoryLog;
        SinkStream output;
        EXPECT_FALSE(DecompressLzmaBuffer(c.file.data(), c.file.size(), &output));
        EXPECT_EQ(memoryLog.messages, c.messages);
    }
}
