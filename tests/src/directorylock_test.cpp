#include "directorylock.h"

#include "support/sandbox.h"
#include "support/scriptedtasks.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

// The lock shuts out other processes (util-linux's flock stands in for another updater), waits for them when
// asked, and is shared inside this process until its last holder lets go.
TEST(DirectoryLock, ShutsOutOtherProcessesAndIsSharedWithinThisOne)
{
    Sandbox box;
    const QString dir = box.path("inst");
    ASSERT_TRUE(QDir().mkpath(dir));
    {
        DirectoryLock first;
        DirectoryLock second;
        ASSERT_TRUE(first.tryLock(dir));
        EXPECT_TRUE(second.tryLock(dir));
        first.release();
        EXPECT_TRUE(DirectoryLock::heldElsewhere(dir) == false);
        QProcess other;
        other.start("flock", {"--nonblock", "--exclusive", dir, "true"});
        ASSERT_TRUE(other.waitForFinished());
        EXPECT_NE(other.exitCode(), 0); // still held through second
    }
    QProcess holder;
    holder.start("flock", {"--exclusive", dir, "sleep", "1"});
    ASSERT_TRUE(holder.waitForStarted());
    ASSERT_TRUE(waitUntil([&] { return DirectoryLock::heldElsewhere(dir); }));
    DirectoryLock lock;
    EXPECT_FALSE(lock.tryLock(dir));
    EXPECT_TRUE(lock.wasBusy());
    EXPECT_TRUE(lock.tryLock(dir, 10000)); // the holder lets go after a second
    EXPECT_TRUE(lock.isLocked());
    holder.waitForFinished();

    // Not a directory, or a link to one: refused, and not for being busy.
    ASSERT_TRUE(QFile::link(dir, box.path("link")));
    ASSERT_TRUE(Sandbox::writeFile(box.path("file"), "x"));
    for (const char *name : {"link", "file", "missing"}) {
        DirectoryLock other;
        EXPECT_FALSE(other.tryLock(box.path(name))) << name;
        EXPECT_FALSE(other.wasBusy()) << name;
    }
}
