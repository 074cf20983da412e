// A sequence of file operations run as one composed task, as the replacement step runs them, and
// then undone through the one list they all recorded into.
#include "dircreatetaskspecification.h"
#include "filecopytaskspecification.h"
#include "filerenametaskspecification.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"

#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/taskrecorder.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <functional>

namespace {

// An installation with files of several modes, a link and an empty directory.
void buildInstallation(const QString &inst)
{
    ASSERT_TRUE(Sandbox::writeFile(inst + "/program", "#!/bin/sh\n"));
    ASSERT_TRUE(QFile::setPermissions(inst + "/program",
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther |
                                          QFile::ExeOther));
    ASSERT_TRUE(Sandbox::writeFile(inst + "/lib/libfoo.so.5", "elf"));
    ASSERT_TRUE(Sandbox::writeFile(inst + "/data/old.dat", "old data"));
    ASSERT_TRUE(QFile::link("libfoo.so.5", inst + "/lib/libfoo.so"));
    ASSERT_TRUE(QDir().mkpath(inst + "/empty"));
    // gzip of "hello, gzip\n".
    ASSERT_TRUE(
        Sandbox::writeFile(inst + "/data/update.gz",
                           QByteArray::fromHex("1f8b0800000000000203cb48cdc9c9d75148afca2ce00200861f82a40c000000")));
    // LZMA container of "abc".
    ASSERT_TRUE(
        Sandbox::writeFile(inst + "/data/abc._lzma2_", QByteArray::fromHex("e9aea83fbdfceed60c01000301000261626300")));
}

using TaskMaker = std::function<TaskSpecification *(RollbackDataList *, const QString &inst, QObject *parent)>;

struct SequenceCase
{
    const char *name;
    QList<TaskMaker> steps;
    int state;
};

} // namespace

TEST(FileOperationRollback, UndoingASequenceGivesBackTheTreeExactly)
{
    const TaskMaker makeDirs = [](RollbackDataList *list, const QString &inst, QObject *parent) {
        return new DirCreateTaskSpecification(inst + "/new/deeper/deepest", list, parent, 0.2);
    };
    const TaskMaker copyIntoNewDirs = [](RollbackDataList *list, const QString &inst, QObject *parent) {
        return new FileCopyTaskSpecification(list, inst + "/program", inst + "/new/deeper/deepest/program", parent,
                                             0.2);
    };
    const TaskMaker moveIntoMissingDir = [](RollbackDataList *list, const QString &inst, QObject *parent) {
        return new FileRenameTaskSpecification(inst + "/data/old.dat", inst + "/moved/old.dat", list, parent, 0.2);
    };
    const TaskMaker copyBesideLink = [](RollbackDataList *list, const QString &inst, QObject *parent) {
        return new FileCopyTaskSpecification(list, inst + "/lib/libfoo.so", inst + "/lib/libfoo.so.6", parent, 0.2);
    };
    const TaskMaker unpackIntoNewDirs = [](RollbackDataList *list, const QString &inst, QObject *parent) {
        return new FileUnpackTaskSpecification_zip(list, inst + "/data/update.gz", inst + "/new/deeper/deepest/hello",
                                                   parent, 0.2);
    };
    const TaskMaker unpackContainerIntoEmptyDir = [](RollbackDataList *list, const QString &inst, QObject *parent) {
        return new FileUnpackTaskSpecification_lzma2(list, inst + "/data/abc._lzma2_", inst + "/empty/abc", parent,
                                                     0.2);
    };
    const TaskMaker copyOverExisting = [](RollbackDataList *list, const QString &inst, QObject *parent) {
        return new FileCopyTaskSpecification(list, inst + "/program", inst + "/lib/libfoo.so.5", parent, 0.2);
    };
    const TaskMaker dirWhereFileIs = [](RollbackDataList *list, const QString &inst, QObject *parent) {
        return new DirCreateTaskSpecification(inst + "/program/sub", list, parent, 0.2);
    };

    const SequenceCase cases[] = {
        {"all succeed",
         {makeDirs, copyIntoNewDirs, moveIntoMissingDir, copyBesideLink, unpackIntoNewDirs,
          unpackContainerIntoEmptyDir},
         TASK_FINISHED},
        {"the last copy fails", {makeDirs, unpackIntoNewDirs, moveIntoMissingDir, copyOverExisting}, TASK_CANCELED},
        {"a directory fails after a move",
         {moveIntoMissingDir, makeDirs, dirWhereFileIs, copyBesideLink},
         TASK_CANCELED},
    };
    for (const SequenceCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        const QString inst = box.path("inst");
        buildInstallation(inst);
        const TreeSnapshot before = snapshotTree(box.root());

        RollbackDataList list;
        ScriptedComposedTask sequence(1);
        for (const TaskMaker &make : c.steps)
            sequence.addTask(make(&list, inst, &sequence));
        sequence.execute();
        ASSERT_TRUE(waitForTaskEnd(&sequence));
        EXPECT_EQ(sequence.state(), c.state);
        EXPECT_NE(snapshotTree(box.root()), before);

        TaskRecorder recorder(&sequence);
        EXPECT_TRUE(list.rollbackAll(&sequence));
        EXPECT_EQ(recorder.messages(), QStringList());
        EXPECT_EQ(snapshotTree(box.root()), before);
    }
}
