#include "rollback.h"

#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

QStringList messagesOf(const QSignalSpy &spy)
{
    QStringList texts;
    for (const QList<QVariant> &args : spy)
        texts << args.at(0).toString();
    return texts;
}

} // namespace

TEST(Rollback, RecordsKeepBothPathsOfARename)
{
    const RollbackData rename(FILE_RENAME, "/from", "/to");
    EXPECT_EQ(rename.first, QString("/to"));
    EXPECT_EQ(rename.second, QString("/from"));
    EXPECT_EQ(rename.op, int(FILE_RENAME));
    const RollbackData created(DIR_CREATE, "/dir");
    EXPECT_EQ(created.first, QString("/dir"));
    EXPECT_TRUE(created.second.isEmpty());
}

// Made forward in this order: directory D, the old file moved into D, a new file in D. Only newest
// first can undo all three: D is empty only after the other two are undone.
TEST(Rollback, UndoesNewestFirstAcrossAllRecordKinds)
{
    Sandbox box;
    const QString dir = box.path("new dir");
    const QString original = box.path("old file");
    const QString moved = dir + "/old file";
    const QString created = dir + "/new file";
    ASSERT_TRUE(Sandbox::writeFile(original, "old"));

    RollbackDataList list;
    ASSERT_TRUE(QDir().mkdir(dir));
    list.addRecord(RollbackData(DIR_CREATE, dir));
    ASSERT_TRUE(QFile::rename(original, moved));
    list.addRecord(RollbackData(FILE_RENAME, original, moved));
    ASSERT_TRUE(Sandbox::writeFile(created, "new"));
    list.addRecord(RollbackData(FILE_CREATE, created));

    ScriptedTask reporter(ScriptedTask::Stay);
    QSignalSpy messages(&reporter, &TaskSpecification::message);
    EXPECT_TRUE(list.rollbackAll(&reporter));
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(messagesOf(messages), QStringList());
    EXPECT_FALSE(QFileInfo::exists(dir));
    EXPECT_EQ(Sandbox::readFile(original), QByteArray("old"));

    EXPECT_TRUE(list.rollbackAll(&reporter)); // nothing left to do
    EXPECT_EQ(messages.count(), 0);
}

// Every failure is made by the file system's structure, newest first, and none stops the older records.
TEST(Rollback, ReportsWhatItCouldNotUndoAndGoesOn)
{
    Sandbox box;
    const QString fullDir = box.path("full dir");
    ASSERT_TRUE(Sandbox::writeFile(fullDir + "/stray", "x")); // not empty: cannot be removed
    const QString removable = box.path("written");
    ASSERT_TRUE(Sandbox::writeFile(removable, "w"));
    const QString renamedTo = box.path("renamed");
    const QString renamedFrom = box.path("taken again");
    ASSERT_TRUE(Sandbox::writeFile(renamedTo, "r"));
    ASSERT_TRUE(Sandbox::writeFile(renamedFrom, "t")); // the old name is in use again
    const QString fileNowDir = box.path("now a directory");
    ASSERT_TRUE(Sandbox::writeFile(fileNowDir + "/inside", "i"));
    const QString trailingSlashDir = box.path("trailing") + "/";
    ASSERT_TRUE(QDir().mkdir(trailingSlashDir));

    RollbackDataList list;
    list.addRecord(RollbackData(DIR_CREATE, fullDir));
    list.addRecord(RollbackData(FILE_CREATE, removable));
    list.addRecord(RollbackData(FILE_RENAME, renamedFrom, renamedTo));
    list.addRecord(RollbackData(FILE_CREATE, fileNowDir));
    list.addRecord(RollbackData(DIR_CREATE, trailingSlashDir));
    list.addRecord(RollbackData(FILE_CREATE, box.path("never there")));

    ScriptedTask reporter(ScriptedTask::Stay);
    QSignalSpy messages(&reporter, &TaskSpecification::message);
    EXPECT_FALSE(list.rollbackAll(&reporter));
    EXPECT_TRUE(list.isEmpty());
    const QStringList expected = {
        "warning: rollback create file " + box.path("never there") + " failed",
        "warning: rollback create file " + fileNowDir + " failed",
        "warning: rollback rename " + renamedFrom + " to " + renamedTo + " failed",
        "warning: rollback create dir " + fullDir + " failed",
    };
    EXPECT_EQ(messagesOf(messages), expected);
    EXPECT_FALSE(QFileInfo::exists(removable));
    EXPECT_FALSE(QFileInfo::exists(trailingSlashDir));
    EXPECT_EQ(Sandbox::readFile(renamedTo), QByteArray("r"));
    EXPECT_EQ(Sandbox::readFile(renamedFrom), QByteArray("t"));
    EXPECT_TRUE(QFileInfo::exists(fullDir + "/stray"));
}

TEST(Rollback, ReporterWithoutMessageSignalOrNoReporterStillUndoes)
{
    Sandbox box;
    QObject plain; // has no message(QString)
    for (QObject *reporter : {&plain, static_cast<QObject *>(nullptr)}) {
        SCOPED_TRACE(reporter ? "plain QObject" : "null");
        const QString file = box.path("file");
        ASSERT_TRUE(Sandbox::writeFile(file, "f"));
        RollbackDataList list;
        list.addRecord(RollbackData(FILE_CREATE, box.path("missing")));
        list.addRecord(RollbackData(FILE_CREATE, file));
        EXPECT_FALSE(list.rollbackAll(reporter));
        EXPECT_FALSE(QFileInfo::exists(file));
    }
}

TEST(Rollback, AddListCopiesRecordsSoEachListUndoesOnItsOwn)
{
    Sandbox box;
    const QString a = box.path("a"), b = box.path("b"), c = box.path("c");
    RollbackDataList perFile;
    perFile.addRecord(RollbackData(FILE_CREATE, b));
    perFile.addRecord(RollbackData(FILE_CREATE, c));
    RollbackDataList step;
    step.addRecord(RollbackData(FILE_CREATE, a));
    step.addList(perFile);
    ASSERT_EQ(step.size(), 3);
    EXPECT_EQ(step.at(0).first, a);
    EXPECT_EQ(step.at(1).first, b);
    EXPECT_EQ(step.at(2).first, c);
    ASSERT_EQ(perFile.size(), 2);

    for (const QString &path : {a, b, c})
        ASSERT_TRUE(Sandbox::writeFile(path, "x"));
    EXPECT_TRUE(perFile.rollbackAll(nullptr));
    EXPECT_EQ(step.size(), 3);
    EXPECT_TRUE(QFileInfo::exists(a));

    step.addList(step); // onto itself: doubles, does not loop
    EXPECT_EQ(step.size(), 6);
    step.clearRecords();
    EXPECT_TRUE(step.isEmpty());
    EXPECT_TRUE(QFileInfo::exists(a)); // cleared, not undone
}
