#include "installjournal.h"

#include "support/sandbox.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

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
            InstallJournal::commit(session);
        else
            InstallJournal::rollBack(session);

        for (const QString &path : created + workFiles)
            EXPECT_FALSE(QFile::exists(path)) << qPrintable(path);
        for (const QString &path : others)
            EXPECT_TRUE(QFile::exists(path)) << qPrintable(path);
        EXPECT_FALSE(QFile::exists(InstallJournal::path(session)));
    }
}

} // namespace
