#include "installjournal.h"

#include "fileinstall.h"

#include "support/filesizelimit.h"
#include "support/sandbox.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

// A journal that created two hidden new files in one directory and one in another. An unpack killed while it
// worked on them left its work files ("." + the name + ".part-" + random) beside them; the other names look
// alike but belong to nothing of the journal.
TEST(InstallJournal, CommitAndRollBackRemoveTheWorkFilesOfCreatedFilesOnly)
{
    for (const bool commit : {true, false}) {
        SCOPED_TRACE(commit ? "commit" : "roll back");
        Sandbox box;
        const QString session = box.path("session");
        ASSERT_TRUE(QDir().mkpath(session));
        const QStringList created {box.path("inst/.a.new-1"), box.path("inst/.b.part-new-2"),
                                   box.path("inst/lib/.c.new-3")};
        for (const QString &path : created) {
            ASSERT_TRUE(InstallJournal::record(session, RollbackData(FILE_CREATE, path)));
            ASSERT_TRUE(Sandbox::writeFile(path, "new"));
        }
        const QStringList workFiles {box.path("inst/..a.new-1.part-x1"), box.path("inst/..b.part-new-2.part-x2"),
                                     box.path("inst/lib/..c.new-3.part-x3")};
        const QStringList others {box.path("inst/a.txt"), box.path("inst/.a.part-x4"),
                                  box.path("inst/..a.new-1.partly"), box.path("inst/lib/..a.new-1.part-x5"),
                                  box.path("inst/x..c.new-3.part-x6")};
        for (const QString &path : workFiles + others)
            ASSERT_TRUE(Sandbox::writeFile(path, "bytes"));

        if (commit)
            EXPECT_TRUE(InstallJournal::commit(session, box.path("inst")));
        else
            InstallJournal::rollBack(session, box.path("inst"));

        for (const QString &path : created + workFiles)
            EXPECT_FALSE(QFile::exists(path)) << qPrintable(path);
        for (const QString &path : others)
            EXPECT_TRUE(QFile::exists(path)) << qPrintable(path);
        EXPECT_FALSE(QFile::exists(InstallJournal::path(session)));
    }
}

// A killed run left a journal: one installed file exchanged with its new version, one new file renamed into
// place, one file moved aside for deletion. What the next run does with it depends on the commit line.
struct KilledRun
{
    Sandbox box;
    QString session = box.path("session");
    QString inst = box.path("inst");

    bool lay()
    {
        if (!QDir().mkpath(session) || !Sandbox::writeFile(inst + "/app", "version 1") ||
            !Sandbox::writeFile(inst + "/.app.new-1", "version 2") || !Sandbox::writeFile(inst + "/.added.new-2", "new") ||
            !Sandbox::writeFile(inst + "/gone.txt", "deleted in version 2"))
            return false;
        // As the replacement does: the hidden new file is recorded as created before it is written.
        if (!InstallJournal::record(session, RollbackData(FILE_CREATE, inst + "/.app.new-1")) ||
            !InstallJournal::record(session, RollbackData(FILE_CREATE, inst + "/.added.new-2")))
            return false;
        const QString hidden = inst + "/.app.new-1";
        const RollbackData exchange = RollbackData::exchanged(inst + "/app", hidden, FileInstall::inodeOf(hidden));
        const RollbackData added(FILE_RENAME, inst + "/.added.new-2", inst + "/added");
        const RollbackData aside = RollbackData::movedAside(inst + "/gone.txt", inst + "/.gone.txt.old-3");
        return InstallJournal::record(session, exchange) && FileInstall::exchange(inst + "/app", hidden) &&
            InstallJournal::record(session, added) && FileInstall::renameNoReplace(added.second, added.first) &&
            InstallJournal::record(session, aside) && FileInstall::renameNoReplace(aside.second, aside.first);
    }
    TreeSnapshot versionOne() const
    {
        return {{"app", TreeEntry {TreeEntry::File, "version 1", 0644}},
                {"gone.txt", TreeEntry {TreeEntry::File, "deleted in version 2", 0644}}};
    }
    TreeSnapshot versionTwo() const
    {
        return {{"added", TreeEntry {TreeEntry::File, "new", 0644}},
                {"app", TreeEntry {TreeEntry::File, "version 2", 0644}}};
    }
};

TEST(InstallJournal, SettlingFinishesACommitAndUndoesAnythingElse)
{
    for (const bool committed : {true, false}) {
        SCOPED_TRACE(committed ? "committed" : "not committed");
        KilledRun run;
        ASSERT_TRUE(run.lay());
        if (committed) {
            // Killed right after the commit line was written.
            QFile journal(InstallJournal::path(run.session));
            ASSERT_TRUE(journal.open(QIODevice::Append));
            journal.write("commit\n");
            journal.close();
        }
        EXPECT_TRUE(InstallJournal::settle(run.session, run.inst));
        EXPECT_EQ(snapshotTree(run.inst), committed ? run.versionTwo() : run.versionOne());
        EXPECT_FALSE(QFile::exists(InstallJournal::path(run.session)));
        // Settling again finds nothing to do.
        EXPECT_TRUE(InstallJournal::settle(run.session, run.inst));
        EXPECT_EQ(snapshotTree(run.inst), committed ? run.versionTwo() : run.versionOne());
    }
}

// After the kill the user or the client put a file of their own where the run had renamed one: the undo
// leaves it, since it is not the entry the journal moved there.
TEST(InstallJournal, AnUndoMovesOnlyTheEntryItRecorded)
{
    KilledRun run;
    ASSERT_TRUE(run.lay());
    ASSERT_TRUE(QFile::remove(run.inst + "/added"));
    ASSERT_TRUE(Sandbox::writeFile(run.inst + "/added", "the user's own"));
    ASSERT_TRUE(QFile::remove(run.inst + "/.gone.txt.old-3"));
    ASSERT_TRUE(Sandbox::writeFile(run.inst + "/.gone.txt.old-3", "not what was moved aside"));

    EXPECT_TRUE(InstallJournal::settle(run.session, run.inst));
    EXPECT_EQ(Sandbox::readFile(run.inst + "/added"), "the user's own");
    EXPECT_FALSE(QFile::exists(run.inst + "/.added.new-2"));
    EXPECT_EQ(Sandbox::readFile(run.inst + "/.gone.txt.old-3"), "not what was moved aside");
    EXPECT_FALSE(QFile::exists(run.inst + "/gone.txt"));
    EXPECT_EQ(Sandbox::readFile(run.inst + "/app"), "version 1");
}

// A journal is data from the disk: one that names paths outside the installation and the session, or through
// a link inside them, or asks to remove names this program never creates, changes nothing there; one larger
// than the cap is not read at all and stays.
TEST(InstallJournal, AJournalActsOnlyInsideTheInstallationAndTheSession)
{
    for (const bool committed : {true, false}) {
        SCOPED_TRACE(committed ? "committed" : "not committed");
        Sandbox box;
        const QString session = box.path("session");
        const QString inst = box.path("inst");
        ASSERT_TRUE(QDir().mkpath(session));
        ASSERT_TRUE(Sandbox::writeFile(box.path("docs/letter.txt"), "the user's letter"));
        ASSERT_TRUE(Sandbox::writeFile(box.path("docs/.hidden"), "the user's hidden file"));
        ASSERT_TRUE(Sandbox::writeFile(inst + "/kept.txt", "installed"));
        ASSERT_TRUE(QFile::link(box.path("docs"), inst + "/linked"));
        const QString docs = box.path("docs");
        const QList<RollbackData> planted {
            RollbackData::movedAside(inst + "/x", docs),
            RollbackData::movedAside(inst + "/y", inst + "/../docs/.hidden"),
            RollbackData::exchanged(inst + "/kept.txt", docs + "/.hidden", 1),
            RollbackData(FILE_CREATE, docs + "/letter.txt"),
            RollbackData(FILE_CREATE, inst + "/linked/.hidden"),
            RollbackData(FILE_CREATE, inst + "/kept.txt"),
            RollbackData::movedAside(inst + "/linked/.hidden", inst + "/.kept.old-1"),
        };
        for (const RollbackData &record : planted)
            ASSERT_TRUE(InstallJournal::record(session, record));
        if (committed) {
            QFile journal(InstallJournal::path(session));
            ASSERT_TRUE(journal.open(QIODevice::Append));
            journal.write("commit\n");
        }
        const TreeSnapshot docsBefore = snapshotTree(docs);
        const TreeSnapshot instBefore = snapshotTree(inst);

        EXPECT_TRUE(InstallJournal::settle(session, inst));
        EXPECT_EQ(snapshotTree(docs), docsBefore);
        EXPECT_EQ(snapshotTree(inst), instBefore);
    }

    Sandbox box;
    const QString session = box.path("session");
    ASSERT_TRUE(QDir().mkpath(session));
    ASSERT_TRUE(Sandbox::writeFile(box.path("inst/.a.new-1"), "new"));
    ASSERT_TRUE(InstallJournal::record(session, RollbackData(FILE_CREATE, box.path("inst/.a.new-1"))));
    ASSERT_EQ(::truncate(QFile::encodeName(InstallJournal::path(session)).constData(), InstallJournal::kMaxBytes + 1),
              0);
    EXPECT_FALSE(InstallJournal::settle(session, box.path("inst")));
    EXPECT_TRUE(QFile::exists(box.path("inst/.a.new-1")));
    EXPECT_TRUE(QFile::exists(InstallJournal::path(session)));
}

// A commit whose line cannot be written removes nothing: the journal still undoes every change.
TEST(InstallJournal, ACommitLineThatCannotBeWrittenRemovesNothing)
{
    KilledRun run;
    ASSERT_TRUE(run.lay());
    const TreeSnapshot before = snapshotTree(run.inst);
    {
        FileSizeLimit limit(QFileInfo(InstallJournal::path(run.session)).size());
        ASSERT_TRUE(limit.active());
        EXPECT_FALSE(InstallJournal::commit(run.session, run.inst));
    }
    EXPECT_EQ(snapshotTree(run.inst), before);
    EXPECT_FALSE(Sandbox::readFile(InstallJournal::path(run.session)).contains("commit"));
    InstallJournal::rollBack(run.session, run.inst);
    EXPECT_EQ(snapshotTree(run.inst), run.versionOne());
}

} // namespace
