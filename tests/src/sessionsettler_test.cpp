// What a killed or failed run left in the temporary directory: settled and removed by the next run of this
// user for the same installation, and nothing else touched.
#include "sessionsettler.h"

#include "directorylock.h"
#include "fileinstall.h"
#include "installjournal.h"

#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

// A session directory of step two as step one leaves it (its record names the installation), whose run was
// killed after it exchanged installDir/file for its new version.
bool writeKilledSession(const QString &dir, const QString &installDir, const QString &file)
{
    const unsigned mode = 0700;
    if (!QDir().mkpath(dir) || ::chmod(QFile::encodeName(dir).constData(), mode) != 0)
        return false;
    QSettings ini(dir + "/update.ini", QSettings::IniFormat);
    ini.setValue("current/version", 2);
    ini.setValue("current/dir", dir);
    ini.setValue("current/cv5dir", installDir);
    ini.setValue("current/type", "client_linux_x86");
    ini.sync();
    const QString hidden = installDir + "/." + file + ".new-1";
    if (!Sandbox::writeFile(installDir + "/" + file, "version 1"))
        return false;
    if (!Sandbox::writeFile(hidden, "version 2") ||
        !InstallJournal::record(dir, RollbackData(FILE_CREATE, hidden)))
        return false;
    const RollbackData exchange = RollbackData::exchanged(installDir + "/" + file, hidden, FileInstall::inodeOf(hidden));
    return InstallJournal::record(dir, exchange) && FileInstall::exchange(installDir + "/" + file, hidden) &&
        Sandbox::writeFile(dir + "/partial download", QByteArray(4096, 'x'));
}

} // namespace

TEST(SessionSettler, SettlesAndRemovesOnlyUnlockedPrivateSessionsOfThisInstallation)
{
    Sandbox box;
    const QString inst = box.path("inst");
    const QString other = box.path("other installation");
    const QString temp = box.tempDir();

    ASSERT_TRUE(writeKilledSession(temp + "/corvalink_temp_0", inst, "a"));
    ASSERT_TRUE(writeKilledSession(temp + "/corvalink_temp_Ab3dE9", inst + "/", "b")); // another spelling of it
    ASSERT_TRUE(writeKilledSession(temp + "/corvalink_temp_1", other, "a"));
    ASSERT_TRUE(writeKilledSession(temp + "/corvalink_temp_2", inst, "c"));
    ASSERT_EQ(::chmod(QFile::encodeName(temp + "/corvalink_temp_2").constData(), 0750), 0); // not private
    // The session this run continues, and one a live run holds (util-linux's flock keeps the lock).
    ASSERT_TRUE(writeKilledSession(temp + "/corvalink_temp_3", inst, "d"));
    const QString live = temp + "/corvalink_temp_4";
    ASSERT_TRUE(writeKilledSession(live, inst, "e"));
    QProcess holder;
    holder.start("flock", {"--exclusive", live, "sleep", "30"});
    ASSERT_TRUE(holder.waitForStarted());
    ASSERT_TRUE(waitUntil([&] { return DirectoryLock::heldElsewhere(live); }, 10000));
    const TreeSnapshot liveBefore = snapshotTree(live);
    const TreeSnapshot otherBefore = snapshotTree(other);

    EXPECT_EQ(SessionSettler::settleStaleSessions(inst, temp + "/corvalink_temp_3"), 2);

    EXPECT_EQ(QDir(temp).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
              (QStringList {"corvalink_temp_1", "corvalink_temp_2", "corvalink_temp_3", "corvalink_temp_4"}));
    EXPECT_EQ(snapshotTree(live), liveBefore);
    EXPECT_EQ(snapshotTree(other), otherBefore);
    // The two killed sessions of this installation were undone, hidden files and all; the others' changes
    // are theirs.
    const TreeSnapshot inInst = snapshotTree(inst);
    QStringList names;
    for (const auto &entry : inInst)
        names << entry.first;
    EXPECT_EQ(names, (QStringList {".c.new-1", ".d.new-1", ".e.new-1", "a", "b", "c", "d", "e"}));
    for (const char *undone : {"a", "b"})
        EXPECT_EQ(Sandbox::readFile(inst + "/" + undone), "version 1") << undone;
    holder.kill();
    holder.waitForFinished();
}
