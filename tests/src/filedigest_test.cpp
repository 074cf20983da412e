#include "filedigest.h"
#include "support/filesizelimit.h"
#include "support/sandbox.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <memory>

#include <cerrno>

namespace {

using filedigest::Algorithm;
using filedigest::FileStatus;

// What the system's own tool says of a file: "sha512sum" or "sha1sum".
QString digestByTool(const char *tool, const QString &path)
{
    QProcess process;
    process.start(tool, {path});
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return QString();
    return QString::fromLatin1(process.readAllStandardOutput().split(' ').value(0));
}

// A few MiB that are not one repeated byte, with a tail that fills no 128-byte block.
QByteArray multiMebibyteInput()
{
    QByteArray data(3 * 1024 * 1024 + 77, Qt::Uninitialized);
    quint32 x = 12345;
    for (char &c : data) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    return data;
}

struct KnownAnswer
{
    const char *name;
    QByteArray input;
    QString sha512; // empty: from sha512sum at test time
    QString sha1; // empty: from sha1sum at test time
};

} // namespace

// The whole-file function and the stream hasher (fed in uneven pieces, and reused after a reset) agree with
// the published vectors and with the system's tools on an input of several reads.
TEST(FileDigest, KnownAnswersForFilesAndStreams)
{
    Sandbox sandbox;
    const KnownAnswer answers[] = {
        {"empty",
         QByteArray(),
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e",
         "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc",
         "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
         "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"several reads", multiMebibyteInput(), QString(), QString()},
    };
    const int pieces[] = {1, 127, 128, 129, 65536, 1024 * 1024 + 3};
    for (const KnownAnswer &a : answers) {
        SCOPED_TRACE(a.name);
        const QString path = sandbox.path(QString("input %1").arg(a.name));
        ASSERT_TRUE(Sandbox::writeFile(path, a.input));
        for (const Algorithm algorithm : {Algorithm::Sha512, Algorithm::Sha1}) {
            const bool sha512 = algorithm == Algorithm::Sha512;
            SCOPED_TRACE(sha512 ? "SHA-512" : "SHA-1");
            QString expected = sha512 ? a.sha512 : a.sha1;
            if (expected.isEmpty())
                expected = digestByTool(sha512 ? "sha512sum" : "sha1sum", path);
            ASSERT_EQ(expected.size(), sha512 ? 128 : 40);

            QByteArray digest;
            ASSERT_EQ(filedigest::hashFile(path, algorithm, digest), FileStatus::Done);
            EXPECT_EQ(QString::fromLatin1(digest.toHex()), expected);
            EXPECT_TRUE(filedigest::sameDigest(expected.toUpper(), digest));

            filedigest::Hasher hasher(algorithm);
            hasher.addData("stale", 5);
            hasher.reset();
            qint64 offset = 0;
            for (int i = 0; offset < a.input.size(); ++i) {
                const qint64 length = qMin<qint64>(pieces[i % std::size(pieces)], a.input.size() - offset);
                hasher.addData(a.input.constData() + offset, length);
                offset += length;
            }
            EXPECT_EQ(hasher.hexResult(), expected);
        }
    }
}

// Nothing to hash, or not all of it: each fails with its own status and no digest.
TEST(FileDigest, FilesThatCannotBeHashedWhole)
{
    Sandbox sandbox;
    struct Case
    {
        const char *name;
        QString path;
        FileStatus status;
    };
    const QString sysfsFile = "/sys/kernel/mm/transparent_hugepage/enabled";
    const Case cases[] = {
        {"missing", sandbox.path("missing"), FileStatus::CannotOpen},
        {"directory", sandbox.root(), FileStatus::CannotOpen},
        // Opens, but reading at offset 0 of the own address space fails.
        {"read error", "/proc/self/mem", FileStatus::CannotRead},
        // Reports a page as its size and holds one line: it ends before its size.
        {"short read", sysfsFile, FileStatus::CannotRead},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.path == sysfsFile && QFileInfo(sysfsFile).size() <= 0)
            continue; // no sysfs here
        QByteArray digest = "old";
        EXPECT_EQ(filedigest::hashFile(c.path, Algorithm::Sha512, digest), c.status);
        EXPECT_TRUE(digest.isEmpty());
        EXPECT_FALSE(filedigest::sameDigest(QString(), digest));
    }
}

// Pieces hashed on the pool thread, or by the caller once the backlog is full, keep their order; a stream left
// behind by reset() or by the hasher's end costs nothing of the next.
TEST(FileDigest, PipelinedHasherHashesInOrderWhateverThreadTakesAPiece)
{
    const QByteArray input = multiMebibyteInput().repeated(4);
    filedigest::Hasher whole;
    whole.addData(input.constData(), input.size());
    const QString expected = whole.hexResult();

    // Small pieces fill the backlog quickly; the large ones do not fit at all.
    const int pieces[] = {1, 4096, 100000, 300 * 1024, 1024 * 1024 + 1, 3 * 1024 * 1024};
    filedigest::PipelinedHasher hasher;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        hasher.addData(input.left(5 * 1024 * 1024)); // a stream left unfinished
        hasher.reset();
        qint64 offset = 0;
        for (int i = round; offset < input.size(); ++i) {
            const int length = int(qMin<qint64>(pieces[i % std::size(pieces)], input.size() - offset));
            hasher.addData(input.mid(int(offset), length));
            offset += length;
        }
        EXPECT_EQ(hasher.finishLater().result().hexDigest, expected);
        hasher.reset();
    }
    auto dropped = std::make_unique<filedigest::PipelinedHasher>();
    for (int i = 0; i < 16; ++i)
        dropped->addData(input.mid(i * 65536, 65536));
    dropped.reset(); // with pieces queued
}

// With an output file, which the pool thread creates, every piece is written there in order before it is
// hashed, whichever thread takes it; a creation or a write that fails is reported, and the rest of the stream
// is neither written nor waited for. discard() leaves no file behind, whatever the pool thread was doing.
TEST(FileDigest, PipelinedHasherCreatesAndWritesItsOutputInOrder)
{
    const QByteArray input = multiMebibyteInput().repeated(2);
    filedigest::Hasher whole;
    whole.addData(input.constData(), input.size());
    const QString expected = whole.hexResult();
    Sandbox box;
    const auto feed = [&](filedigest::PipelinedHasher &hasher) {
        for (int offset = 0, i = 0; offset < input.size(); ++i) {
            const int length = qMin(i % 2 ? 1024 * 1024 + 3 : 7000, input.size() - offset);
            hasher.addData(input.mid(offset, length));
            offset += length;
        }
    };

    filedigest::PipelinedHasher hasher;
    for (const bool hash : {true, false}) {
        SCOPED_TRACE(hash ? "hashed" : "only written");
        const QString path = box.path(hash ? "hashed" : "written");
        hasher.start(path, hash);
        feed(hasher);
        const filedigest::StreamResult result = hasher.finishLater().result();
        EXPECT_EQ(result.createError, 0);
        EXPECT_EQ(result.writeError, 0);
        EXPECT_EQ(result.hexDigest, hash ? expected : QString());
        EXPECT_EQ(Sandbox::readFile(path), input);
        hasher.reset(); // keeps the finished file
        EXPECT_TRUE(QFileInfo::exists(path));
    }

    // An empty stream still makes its file; an existing name or a missing directory is a creation error.
    hasher.start(box.path("empty"), true);
    EXPECT_EQ(hasher.finishLater().result().createError, 0);
    EXPECT_TRUE(QFileInfo(box.path("empty")).isFile());
    for (const QString &path : {box.path("hashed"), box.path("missing/file")}) {
        SCOPED_TRACE(path.toStdString());
        hasher.start(path, true);
        feed(hasher);
        EXPECT_NE(hasher.finishLater().result().createError, 0);
        EXPECT_EQ(hasher.writeError(), 0);
    }
    EXPECT_EQ(Sandbox::readFile(box.path("hashed")), input);

    for (int i = 0; i < 8; ++i) {
        hasher.start(box.path("discarded"), true);
        for (int piece = 0; piece < i; ++piece)
            hasher.addData(input.mid(piece * 300000, 300000));
        hasher.discard();
        EXPECT_FALSE(QFileInfo::exists(box.path("discarded"))) << i;
    }

    FileSizeLimit limit(1024 * 1024);
    ASSERT_TRUE(limit.active());
    hasher.start(box.path("too large"), true);
    feed(hasher);
    EXPECT_EQ(hasher.writeError(), EFBIG);
    EXPECT_EQ(hasher.finishLater().result().writeError, EFBIG);
    EXPECT_EQ(QFileInfo(box.path("too large")).size(), 1024 * 1024);
}
