#include "bytes.h"
#include "crc.h"
#include "mappedfile.h"
#include "writefile.h"

#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <fstream>
#include <stdexcept>
#include <string>

using namespace corvapatch;

namespace {

std::string mapsOfThisProcess()
{
    std::ifstream in("/proc/self/maps");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TEST(MappedFile, MapsTheWholeFile)
{
    Sandbox box;
    const QString path = box.path("input file.bin");
    ASSERT_TRUE(Sandbox::writeFile(path, QByteArray("hello", 5)));
    const QByteArray native = QFile::encodeName(path);
    {
        MappedFile file(native.constData(), 0, 0);
        ASSERT_TRUE(file.IsValid());
        EXPECT_EQ(file.ViewLength(), 5u);
        EXPECT_EQ(file.FileSize(), 5u);
        EXPECT_EQ(Bytes(file.Data(), file.Data() + 5), Bytes({'h', 'e', 'l', 'l', 'o'}));
        EXPECT_EQ(file[1], 'e');
        EXPECT_EQ(file.At(4), 'o');
        EXPECT_THROW((void)file.At(5), std::out_of_range);
        EXPECT_NE(mapsOfThisProcess().find(native.constData()), std::string::npos);
    }
    EXPECT_EQ(mapsOfThisProcess().find(native.constData()), std::string::npos);
}

TEST(MappedFile, DroppedPagesReadTheSameBytesAgain)
{
    Sandbox box;
    const QString path = box.path("pages.bin");
    QByteArray content(5 * 4096 + 123, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7 + i / 4096);
    ASSERT_TRUE(Sandbox::writeFile(path, content));
    MappedFile file(QFile::encodeName(path).constData(), 0, 0);
    ASSERT_TRUE(file.IsValid());
    const Bytes before(file.Data(), file.Data() + file.ViewLength());
    // A range inside, one cut at the end, one past the end (ignored) and the whole view.
    file.DropResidentPages(100, 2 * 4096);
    file.DropResidentPages(3 * 4096 + 1, file.ViewLength() - 3 * 4096 - 1);
    file.DropResidentPages(4096, file.ViewLength());
    EXPECT_EQ(Bytes(file.Data(), file.Data() + file.ViewLength()), before);
    file.DropResidentPages();
    EXPECT_EQ(Bytes(file.Data(), file.Data() + file.ViewLength()), before);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(file.Data()), int(file.ViewLength())), content);
}

TEST(MappedFile, UnusableInputsAreNotValid)
{
    Sandbox box;
    ASSERT_TRUE(Sandbox::writeFile(box.path("empty"), QByteArray()));
    ASSERT_TRUE(QDir().mkpath(box.path("dir")));
    struct Case
    {
        const char *name;
        QString path;
    };
    const Case cases[] = {
        {"missing", box.path("missing")},
        {"directory", box.path("dir")},
        {"empty file", box.path("empty")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        MappedFile file(QFile::encodeName(c.path).constData(), 0, 0);
        EXPECT_FALSE(file.IsValid());
        EXPECT_EQ(file.Data(), nullptr);
        EXPECT_EQ(file.ViewLength(), 0u);
        EXPECT_THROW((void)file.At(0), std::invalid_argument);
    }
}

TEST(MappedFile, ViewsAreCutAtTheEndOfTheFile)
{
    Sandbox box;
    const QByteArray contents(PageSize() + 10, 'q');
    ASSERT_TRUE(Sandbox::writeFile(box.path("f"), contents));
    const QByteArray native = QFile::encodeName(box.path("f"));
    MappedFile file(native.constData(), 4, 2);
    ASSERT_TRUE(file.IsValid());
    EXPECT_EQ(file.ViewLength(), 4u);
    EXPECT_FALSE(file.Open(native.constData(), 0, 0)); // a view is already mapped

    ASSERT_TRUE(file.MapView(PageSize(), 100));
    EXPECT_EQ(file.ViewLength(), 10u);
    EXPECT_FALSE(file.MapView(uint64_t(PageSize()) * 4, 1));
    EXPECT_FALSE(file.IsValid());

    file.Close();
    EXPECT_FALSE(file.MapView(0, 0)); // no file any more
    EXPECT_TRUE(file.Open(native.constData(), 0, 1));
    EXPECT_EQ(file.ViewLength(), contents.size());
}

TEST(WriteFile, WritesCreatesAndTruncates)
{
    Sandbox box;
    const QString path = box.path("out");
    const QByteArray native = QFile::encodeName(path);
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(WriteFile(native.constData(), data, 3), 3u);
    EXPECT_EQ(Sandbox::readFile(path), QByteArray("\x01\x02\x03", 3));
    EXPECT_EQ(WriteFile(native.constData(), data, 0), 0u);
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_EQ(Sandbox::readFile(path), QByteArray());
}

TEST(WriteFile, FailuresNeverReturnTheRequestedCount)
{
    Sandbox box;
    ASSERT_TRUE(QDir().mkpath(box.path("dir")));
    const uint8_t data[] = {1, 2, 3};
    const QByteArray dir = QFile::encodeName(box.path("dir"));
    const QByteArray underFile = QFile::encodeName(box.path("dir/../missing/x"));
    EXPECT_EQ(WriteFile(dir.constData(), data, 3), 0u);
    EXPECT_NE(WriteFile(dir.constData(), data, 0), 0u);
    EXPECT_NE(WriteFile(underFile.constData(), data, 3), 3u);
    // /dev/full accepts the buffered fwrite and fails at fclose, as a full disk does.
    EXPECT_NE(WriteFile("/dev/full", data, 3), 3u);
    const Bytes large(1 << 20, 0x5A);
    EXPECT_NE(WriteFile("/dev/full", large.data(), large.size()), large.size());
}

TEST(ComputeCrc, IsTheComplementOfCrc32)
{
    struct Case
    {
        const char *name;
        Bytes bytes;
        uint32_t crc;
    };
    const Case cases[] = {
        {"no bytes", {}, 0xFFFFFFFFu},
        {"abc", {'a', 'b', 'c'}, 0xCADBBE3Du}, // CRC-32 0x352441C2
        {"123456789", {'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0x340BC6D9u}, // CRC-32 0xCBF43926
        {"one zero byte", {0x00}, 0x2DFD1072u}, // CRC-32 0xD202EF8D
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ComputeCrc(c.bytes.data(), c.bytes.size()), c.crc);
        // Extended piece by piece, at every split, it gives the same value.
        for (size_t split = 0; split <= c.bytes.size(); ++split) {
            const uint32_t head = ComputeCrc(c.bytes.data(), split);
            EXPECT_EQ(ExtendCrc(head, c.bytes.data() + split, c.bytes.size() - split), c.crc) << split;
        }
    }
    EXPECT_EQ(ComputeCrc(nullptr, 0), 0xFFFFFFFFu);
    EXPECT_EQ(ExtendCrc(0x12345678u, nullptr, 0), 0x12345678u);
    EXPECT_EQ(ComputeCrcInHalves(nullptr, 0), 0xFFFFFFFFu);
}

// Taken in two halves on two threads, the crc of a large buffer is the one taken in one piece, at even and odd
// lengths around where the split begins.
TEST(ComputeCrc, InHalvesGivesTheSameValue)
{
    Bytes bytes((3u << 20) + 1);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 11));
    for (const size_t n : {size_t(1000), (size_t(1) << 20) - 1, size_t(1) << 20, (size_t(1) << 20) + 1, bytes.size()}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(ComputeCrcInHalves(bytes.data(), n), ComputeCrc(bytes.data(), n));
    }
}
