#include "fileunpacktaskspecification_lzma2.h"

#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/taskrecorder.h"
#include "support/treesnapshot.h"

#include "lzmafile.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {

// A container of "abc": magic E9 AE A8 3F, crc 0xCADBBE3D as varint32 (BD FC EE D6 0C), directive 1,
// then the block: property 0, unpacked size 3, one uncompressed LZMA2 chunk (01, size-1 = 00 02,
// "abc") and the end marker 00.
QByteArray abcContainer(const char *size = "03", const char *property = "00", const char *directive = "01")
{
    return QByteArray::fromHex(QByteArray("e9aea83f") + "bdfceed60c" + directive + property + size + "010002616263" +
                               "00");
}

QByteArray withByte(QByteArray data, int index, char value)
{
    data[index] = value;
    return data;
}

// A container made by the packer, for content too large to write out here.
QByteArray packed(const Sandbox &box, const QByteArray &plain)
{
    const QString in = box.path("fixture/plain");
    const QString out = box.path("fixture/packed");
    EXPECT_TRUE(Sandbox::writeFile(in, plain));
    EXPECT_TRUE(corvapatch::CompressLzmaFile(QFile::encodeName(in).constData(), QFile::encodeName(out).constData()));
    const QByteArray bytes = Sandbox::readFile(out);
    QDir(box.path("fixture")).removeRecursively();
    return bytes;
}

QByteArray largePlain()
{
    QByteArray plain;
    for (int i = 0; plain.size() < 40000; ++i)
        plain += QByteArray::number(i * 7919) + ' ';
    return plain.left(40000);
}

struct Outcome
{
    int state;
    QStringList messages;
    QStringList records;
};

Outcome unpack(const Sandbox &box, const QString &source, const QString &target)
{
    RollbackDataList list;
    FileUnpackTaskSpecification_lzma2 task(&list, source, target, nullptr, 0.8);
    TaskRecorder recorder(&task);
    task.execute();
    EXPECT_TRUE(waitForTaskEnd(&task));
    EXPECT_EQ(recorder.finishedCount() + recorder.canceledCount(), 1);
    return {task.state(), recorder.messages(), describeRecords(list, box.root() + "/")};
}

struct LzmaCase
{
    const char *name;
    QByteArray container;
    bool ok;
    QByteArray plain;
};

} // namespace

// Each case runs onto a new target and onto an earlier file there; the whole sandbox is compared.
TEST(FileUnpackLzmaTask, UnpacksValidContainersAndRejectsMalformedOnes)
{
    Sandbox fixtures;
    const QByteArray large = largePlain();
    const QByteArray largePacked = packed(fixtures, large);
    const LzmaCase cases[] = {
        {"container of abc", abcContainer(), true, "abc"},
        {"bytes after the block are ignored", abcContainer() + "trailing", true, "abc"},
        {"packed 40000 bytes", largePacked, true, large},
        {"empty file", "", false, {}},
        {"magic only", QByteArray::fromHex("e9aea83f"), false, {}},
        {"wrong magic", withByte(abcContainer(), 0, '\xe8'), false, {}},
        {"wrong crc", withByte(abcContainer(), 4, '\xbc'), false, {}},
        {"unknown directive", abcContainer("03", "00", "03"), false, {}},
        {"property 41", abcContainer("03", "29"), false, {}},
        {"block one byte short of its size", abcContainer("04"), false, {}},
        {"block cut before its end marker", abcContainer().chopped(1), false, {}},
        {"packed container cut in half", largePacked.left(largePacked.size() / 2), false, {}},
    };
    for (const LzmaCase &c : cases) {
        for (const bool earlier : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (earlier ? ", earlier target" : ", new target"));
            Sandbox box;
            const QString source = box.path("tmp/file._lzma2_");
            const QString target = box.path("inst/file");
            ASSERT_TRUE(Sandbox::writeFile(source, c.container));
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
                EXPECT_EQ(outcome.records, QStringList {"FILE_CREATE inst/file"});
                ASSERT_EQ(after.count("inst/file"), 1u);
                EXPECT_EQ(after["inst/file"].content, c.plain);
                if (earlier) {
                    EXPECT_EQ(after["inst/file"].mode, 0750u);
                }
                after.erase("inst/file");
                expected.erase("inst/file");
            } else {
                EXPECT_EQ(outcome.state, TASK_CANCELED);
                EXPECT_EQ(outcome.messages, QStringList {QString("Could not unpack '%1' to '%2'").arg(source, target)});
                EXPECT_EQ(outcome.records, QStringList());
            }
            EXPECT_EQ(after, expected);
        }
    }
}

TEST(FileUnpackLzmaTask, FailsOnPathsThatCannotBeUsedLeavingNothing)
{
    struct PathCase
    {
        const char *name;
        const char *source; // below the sandbox
        const char *target;
    };
    const PathCase cases[] = {
        {"missing container", "tmp/missing", "inst/existing"},
        {"missing target directory", "tmp/packed", "inst/nowhere/new"},
        {"file where the target directory should be", "tmp/packed", "inst/existing/new"},
        {"target is a directory", "tmp/packed", "inst"},
    };
    for (const PathCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        ASSERT_TRUE(Sandbox::writeFile(box.path("tmp/packed"), abcContainer()));
        ASSERT_TRUE(Sandbox::writeFile(box.path("inst/existing"), "installed"));
        const TreeSnapshot before = snapshotTree(box.root());
        const QString source = box.path(c.source);
        const QString target = box.path(c.target);

        const Outcome outcome = unpack(box, source, target);
        EXPECT_EQ(outcome.state, TASK_CANCELED);
        EXPECT_EQ(outcome.messages, QStringList {QString("Could not unpack '%1' to '%2'").arg(source, target)});
        EXPECT_EQ(outcome.records, QStringList());
        EXPECT_EQ(snapshotTree(box.root()), before);
    }
}
