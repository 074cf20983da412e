#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "fileinstall.h"
#include "installjournal.h"

#include "support/filesizelimit.h"
#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/taskrecorder.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

namespace {

TreeSnapshot without(TreeSnapshot snapshot, const QStringList &removed)
{
    for (const QString &path : removed)
        snapshot.erase(path);
    return snapshot;
}

// inst/old.txt, inst/plugins/a and plugins/sub/b, inst/empty/, inst/share/inner/ (both empty); inst/plugins/outside and
// inst/through are links to outside/, which holds outside/keep.
void buildInstallation(const Sandbox &box)
{
    ASSERT_TRUE(Sandbox::writeFile(box.path("inst/old.txt"), "old"));
    ASSERT_TRUE(Sandbox::writeFile(box.path("inst/plugins/a"), "a"));
    ASSERT_TRUE(Sandbox::writeFile(box.path("inst/plugins/sub/b"), "b"));
    ASSERT_TRUE(QDir().mkpath(box.path("inst/empty")));
    ASSERT_TRUE(QDir().mkpath(box.path("inst/share/inner")));
    ASSERT_TRUE(Sandbox::writeFile(box.path("outside/keep"), "precious"));
    ASSERT_TRUE(QFile::link(box.path("outside"), box.path("inst/plugins/outside")));
    ASSERT_TRUE(QFile::link(box.path("outside"), box.path("inst/through")));
}

} // namespace

// Every deletion is staged until the whole list has succeeded: the first failure stops the list and brings
// back what the earlier deletions took.
TEST(FileDeleteList, DeletesTheListedPathsInOrderOrNothingAtTheFirstFailure)
{
    struct Case
    {
        const char *name;
        QList<DeleteEntry> entries;
        int state;
        QStringList messages; // after "Starting deleting files"; %1 = the installation directory
        QStringList removed; // below inst/
    };
    const Case cases[] = {
        {"nothing to delete", {}, TASK_FINISHED, {}, {}},
        {"file, empty directory, tree",
         {{"old.txt", false}, {"empty", false}, {"plugins", true}},
         TASK_FINISHED,
         {"Deleted file '%1/old.txt'", "Deleted directory '%1/empty'", "Recursively deleted directory '%1/plugins'"},
         {"old.txt", "empty", "plugins", "plugins/a", "plugins/sub", "plugins/sub/b", "plugins/outside"}},
        {"the second of three fails",
         {{"old.txt", false}, {"missing", false}, {"empty", false}},
         TASK_CANCELED,
         {"Deleted file '%1/old.txt'", "Could not delete '%1/missing'", "rolling back file updates"},
         {}},
        {"a directory that is not empty, without the recursive flag",
         {{"plugins", false}, {"old.txt", false}},
         TASK_CANCELED,
         {"Could not delete '%1/plugins'", "rolling back file updates"},
         {}},
        {"paths inside a directory deleted before them",
         {{"plugins", true}, {"plugins/sub/b", false}, {"plugins/sub", true}, {"old.txt", false}},
         TASK_FINISHED,
         {"Recursively deleted directory '%1/plugins'", "Deleted file '%1/old.txt'"},
         {"old.txt", "plugins", "plugins/a", "plugins/sub", "plugins/sub/b", "plugins/outside"}},
        {"a parent emptied and removed by an earlier deletion",
         {{"share/inner", false}, {"share", false}},
         TASK_FINISHED,
         {"Deleted directory '%1/share/inner'"},
         {"share/inner", "share"}},
        {"a link is removed as a link", {{"through", true}}, TASK_FINISHED, {"Deleted file '%1/through'"}, {"through"}},
        {"a path through a link is refused",
         {{"through/keep", false}, {"old.txt", false}},
         TASK_CANCELED,
         {"Could not delete '%1/through/keep'", "rolling back file updates"},
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        buildInstallation(box);
        Configuration config;
        config.m_installDir = box.path("inst");
        config.m_tempDir = box.path("session");
        ASSERT_TRUE(QDir().mkpath(config.m_tempDir));
        const TreeSnapshot before = snapshotTree(config.m_installDir);
        const TreeSnapshot outsideBefore = snapshotTree(box.path("outside"));

        QList<DeleteEntry> entries = c.entries;
        FileDeleteListTaskSpecification step(&entries, &config, nullptr, 0.05);
        TaskRecorder recorder(&step);
        step.execute();
        for (TaskSpecification *t : step.allTasks()) {
            EXPECT_NE(qobject_cast<FileDeleteTaskSpecification *>(t), nullptr);
            EXPECT_DOUBLE_EQ(t->weight(), 1.0 / c.entries.size());
        }
        ASSERT_TRUE(waitForTaskEnd(&step));

        EXPECT_EQ(step.state(), c.state);
        QStringList expected {"Starting deleting files"};
        for (const QString &m : c.messages)
            expected << (m.contains("%1") ? m.arg(config.m_installDir) : m);
        EXPECT_EQ(recorder.messages(), expected);
        EXPECT_EQ(snapshotTree(config.m_installDir), without(before, c.removed));
        EXPECT_EQ(snapshotTree(box.path("outside")), outsideBefore);
        EXPECT_EQ(snapshotTree(config.m_tempDir), TreeSnapshot()); // the journal is settled
    }
}

// A directory deleted without the recursive flag takes the parents it empties, but never the installation
// directory or anything above it.
TEST(FileDeleteList, EmptiedParentsGoUpToTheInstallationDirectoryOnly)
{
    Sandbox box;
    ASSERT_TRUE(QDir().mkpath(box.path("outer/inst/a/b")));
    ASSERT_TRUE(QDir().mkpath(box.path("session")));
    Configuration config;
    config.m_installDir = box.path("outer/inst");
    config.m_tempDir = box.path("session");
    QList<DeleteEntry> entries {{"a/b", false}};
    FileDeleteListTaskSpecification step(&entries, &config, nullptr, 0.05);
    step.execute();
    ASSERT_TRUE(waitForTaskEnd(&step));
    EXPECT_EQ(step.state(), TASK_FINISHED);
    EXPECT_EQ(snapshotTree(box.path("outer")), (TreeSnapshot {{"inst", TreeEntry {TreeEntry::Dir, {}, 0755}}}));
}

// The deletion step commits what the replacement step handed it, or undoes it together with its own: when a
// deletion fails, and when the commit line cannot reach the journal (here: the file may not grow), since
// then no old file may go.
TEST(FileDeleteList, CommitsOrUndoesTheReplacementWithItsDeletions)
{
    enum class End { Committed, DeletionFails, CommitLineFails };
    for (const End end : {End::Committed, End::DeletionFails, End::CommitLineFails}) {
        SCOPED_TRACE(int(end));
        Sandbox box;
        ASSERT_TRUE(Sandbox::writeFile(box.path("inst/app"), "version 1"));
        ASSERT_TRUE(Sandbox::writeFile(box.path("inst/.app.new-x"), "version 2"));
        ASSERT_TRUE(Sandbox::writeFile(box.path("inst/old.txt"), "old"));
        ASSERT_TRUE(QDir().mkpath(box.path("session")));
        Configuration config;
        config.m_installDir = box.path("inst");
        config.m_tempDir = box.path("session");
        const TreeSnapshot before = snapshotTree(config.m_installDir);
        // What the replacement step leaves for the deletion step: one file exchanged into place.
        const QString hidden = box.path("inst/.app.new-x");
        const RollbackData exchange = RollbackData::exchanged(box.path("inst/app"), hidden, FileInstall::inodeOf(hidden));
        ASSERT_TRUE(InstallJournal::record(config.m_tempDir, exchange));
        ASSERT_TRUE(FileInstall::exchange(box.path("inst/app"), hidden));
        RollbackDataList transaction;
        transaction.addRecord(exchange);

        // Without a deletion of its own the step's journal holds the exchange alone, so its size is known.
        QList<DeleteEntry> entries;
        if (end != End::CommitLineFails)
            entries << DeleteEntry {"old.txt", false};
        if (end == End::DeletionFails)
            entries << DeleteEntry {"missing", false};
        FileDeleteListTaskSpecification step(&entries, &config, nullptr, 0.05);
        step.setTransaction(&transaction);
        TaskRecorder recorder(&step);
        {
            FileSizeLimit limit(end == End::CommitLineFails ? QFileInfo(InstallJournal::path(config.m_tempDir)).size()
                                                            : RLIM_INFINITY);
            step.execute();
            ASSERT_TRUE(waitForTaskEnd(&step));
        }
        switch (end) {
        case End::Committed:
            EXPECT_EQ(step.state(), TASK_FINISHED);
            EXPECT_EQ(snapshotTree(config.m_installDir),
                      (TreeSnapshot {{"app", TreeEntry {TreeEntry::File, "version 2", 0644}}}));
            break;
        case End::DeletionFails:
            EXPECT_EQ(step.state(), TASK_CANCELED);
            EXPECT_EQ(snapshotTree(config.m_installDir), before);
            break;
        case End::CommitLineFails:
            EXPECT_EQ(step.state(), TASK_ERROR);
            EXPECT_TRUE(recorder.messages().contains("Could not commit the file updates"));
            EXPECT_EQ(snapshotTree(config.m_installDir), before);
            break;
        }
        EXPECT_TRUE(transaction.isEmpty());
        EXPECT_EQ(snapshotTree(config.m_tempDir), TreeSnapshot());
    }
}
