#include "fileunpacktaskspecification_zip.h"

#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/taskrecorder.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <zlib.h>

namespace {

// gzip of "hello, gzip\n" (no name, mtime 0): header, deflate data, CRC-32 86 1f 82 a4, length 12.
const QByteArray kHello = QByteArray::fromHex("1f8b0800000000000203cb48cdc9c9d75148afca2ce00200861f82a40c000000");
// gzip of nothing.
const QByteArray kEmpty = QByteArray::fromHex("1f8b080000000000020303000000000000000000");

QByteArray withByte(QByteArray data, int index, char value)
{
    data[index] = value;
    return data;
}

// A gzip stream built with zlib's own writer, for inputs too large to write out here.
QByteArray gzipped(const QByteArray &plain)
{
    z_stream stream = {};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    QByteArray out(int(deflateBound(&stream, uLong(plain.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(plain.constData()));
    stream.avail_in = uInt(plain.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return out;
}

// Across three reads of the 16384-byte buffer, and not compressible to nothing.
QByteArray largePlain()
{
    QByteArray plain;
    for (int i = 0; plain.size() < 40000; ++i)
        plain += QByteArray::number(i * 7919) + ' ';
    return plain.left(40000);
}

struct ZipCase
{
    const char *name;
    QByteArray packed;
    bool ok;
    QByteArray plain; // the target's content on success
};

struct Outcome
{
    int state;
    QStringList messages;
    QStringList records;
};

Outcome unpack(const Sandbox &box, const QString &source, const QString &target)
{
    RollbackDataList list;
    FileUnpackTaskSpecification_zip task(&list, source, target, nullptr, 0.8);
    TaskRecorder recorder(&task);
    task.execute();
    EXPECT_TRUE(waitForTaskEnd(&task));
    EXPECT_EQ(recorder.finishedCount() + recorder.canceledCount(), 1);
    return {task.state(), recorder.messages(), describeRecords(list, box.root() + "/")};
}

} // namespace

// Each case runs onto a new target and onto an earlier file there. The whole sandbox is compared
// afterwards: a failure leaves the earlier file as it was and no partial output beside it.
TEST(FileUnpackZipTask, UnpacksCompleteStreamsAndRejectsDamagedOnes)
{
    const QByteArray large = largePlain();
    const QByteArray largePacked = gzipped(large);
    const ZipCase cases[] = {
        {"valid stream", kHello, true, "hello, gzip\n"},
        {"valid stream of 40000 bytes", largePacked, true, large},
        {"empty stream", kEmpty, true, ""},
        {"empty file", "", true, ""},
        {"data that is not gzip", "plain text, copied as it is", true, "plain text, copied as it is"},
        {"header only", kHello.left(10), false, {}},
        {"cut in the deflate data", kHello.left(16), false, {}},
        {"cut in the CRC", kHello.left(24), false, {}},
        {"length field missing", kHello.left(28), false, {}},
        {"large stream cut in half", largePacked.left(largePacked.size() / 2), false, {}},
        {"wrong CRC", withByte(kHello, 24, '\x87'), false, {}},
        {"wrong length", withByte(kHello, 28, '\x0d'), false, {}},
        {"invalid deflate block type", withByte(kHello, 10, '\x07'), false, {}},
    };
    for (const ZipCase &c : cases) {
        for (const bool earlier : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (earlier ? ", earlier target" : ", new target"));
            Sandbox box;
            const QString source = box.path("tmp/packed file");
            const QString target = box.path("inst/unpacked file");
            ASSERT_TRUE(Sandbox::writeFile(source, c.packed));
            ASSERT_TRUE(QDir().mkpath(box.path("inst")));
            if (earlier) {
                ASSERT_TRUE(Sandbox::writeFile(target, "earlier version"));
                ASSERT_TRUE(QFile::setPermissions(target,
                                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                      QFile::ReadGroup | QFile::ExeGroup));
            }
            TreeSnapshot expected = snapshotTree(box.root());

            const Outcome outcome = unpack(box, source, target);
            TreeSnapshot after = snapshotTree(box.root());
            if (c.ok) {
                EXPECT_EQ(outcome.state, TASK_FINISHED);
                EXPECT_EQ(outcome.messages, QStringList());
                EXPECT_EQ(outcome.records, QStringList {"FILE_CREATE inst/unpacked file"});
                ASSERT_EQ(after.count("inst/unpacked file"), 1u);
                EXPECT_EQ(after["inst/unpacked file"].content, c.plain);
                if (earlier) {
                    EXPECT_EQ(after["inst/unpacked file"].mode, 0750u); // the earlier file's mode stays
                }
                after.erase("inst/unpacked file");
                expected.erase("inst/unpacked file");
            } else {
                EXPECT_EQ(outcome.state, TASK_CANCELED);
                EXPECT_EQ(outcome.messages, QStringList {QString("Could not unzip '%1' to '%2'").arg(source, target)});
                EXPECT_EQ(outcome.records, QStringList());
            }
            EXPECT_EQ(after, expected);
        }
    }
}

TEST(FileUnpackZipTask, FailsOnPathsThatCannotBeUsedLeavingNothing)
{
    struct PathCase
    {
        const char *name;
        const char *source; // below the sandbox
        const char *target;
    };
    const PathCase cases[] = {
        {"missing source", "tmp/missing", "inst/existing"},
        {"source is a directory", "tmp", "inst/new"},
        {"missing target directory", "tmp/packed", "inst/nowhere/new"},
        {"file where the target directory should be", "tmp/packed", "inst/existing/new"},
        {"target is a directory", "tmp/packed", "inst"},
    };
    for (const PathCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        ASSERT_TRUE(Sandbox::writeFile(box.path("tmp/packed"), kHello));
        ASSERT_TRUE(Sandbox::writeFile(box.path("inst/existing"), "installed"));
        const TreeSnapshot before = snapshotTree(box.root());
        const QString source = box.path(c.source);
        const QString target = box.path(c.target);

        const Outcome outcome = unpack(box, source, target);
        EXPECT_EQ(outcome.state, TASK_CANCELED);
        EXPECT_EQ(outcome.messages, QStringList {QString("Could not unzip '%1' to '%2'").arg(source, target)});
        EXPECT_EQ(outcome.records, QStringList());
        EXPECT_EQ(snapshotTree(box.root()), before);
    }
}
