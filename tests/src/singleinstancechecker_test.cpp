// The single-instance guard: its server name, and a real local socket in a private directory of the sandbox.
#include "singleinstancechecker.h"

#include "support/logcapture.h"
#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

QString privateDir(const Sandbox &box)
{
    return box.homeDir() + "/.cv5_update_guard";
}

// A socket file that nothing listens on, as an updater that was killed leaves it.
bool writeStaleSocket(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (size_t(name.size()) >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    if (fd >= 0)
        ::close(fd);
    return bound;
}

unsigned modeOf(const QString &path)
{
    struct stat st
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

} // namespace

TEST(SingleInstanceChecker, ServerNameIsTheChecksumOfTheLowerCasedPathAndTheHomeDirectory)
{
    // Checksums worked out independently of Qt: CRC-16 of ISO 3309 over the joined text, without "/" and ":".
    struct Case
    {
        const char *name;
        QString program;
        QString home;
        QString server;
    };
    const Case cases[] = {
        {"the checksum's own check value: 123456789", "/1234", "/56789", "CV5ClientUpdate906e"},
        {"an installation under /opt", "/opt/Corvalink/update", "/home/anna", "CV5ClientUpdatebbdc"},
        {"the program path in other letter case", "/OPT/CORVALINK/Update", "/home/anna", "CV5ClientUpdatebbdc"},
        {"the home directory keeps its case", "/opt/Corvalink/update", "/home/Anna", "CV5ClientUpdate348f"},
        {"another user", "/opt/Corvalink/update", "/home/user61", "CV5ClientUpdate30"}, // no leading zeros
        {"colons go too", "C:/Corvalink/update.exe", "C:/Users/anna", "CV5ClientUpdated2b3"},
        {"non-ASCII as UTF-8", "/opt/Corvalink/update", QString::fromUtf8("/home/j\xc3\xb6rg"), "CV5ClientUpdate63f1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SingleInstanceChecker::serverNameFor(c.program, c.home), c.server);
    }
}

TEST(SingleInstanceChecker, ARunningCheckerReceivesTheMessageOfALaterUpdater)
{
    Sandbox box;
    EXPECT_FALSE(SingleInstanceChecker::sendToRunningInstance("#")); // nothing listens yet

    SingleInstanceChecker checker(nullptr);
    ASSERT_TRUE(checker.isListening());
    // The socket lies in this user's own directory, which no one else may enter.
    EXPECT_EQ(SingleInstanceChecker::socketPath(), privateDir(box) + "/" + SingleInstanceChecker::serverName());
    EXPECT_EQ(modeOf(privateDir(box)), 0700u);
    EXPECT_TRUE(QFileInfo::exists(SingleInstanceChecker::socketPath()));

    QSignalSpy activations(&checker, &SingleInstanceChecker::otherInstanceActivate);
    // A client that connects and sends nothing is replaced by the next connection.
    QLocalSocket silent;
    silent.connectToServer(SingleInstanceChecker::socketPath());
    ASSERT_TRUE(silent.waitForConnected(1000));
    ASSERT_TRUE(waitUntil([&] { return silent.state() == QLocalSocket::ConnectedState; }));
    EXPECT_TRUE(SingleInstanceChecker::sendToRunningInstance("#"));
    ASSERT_TRUE(activations.count() == 1 || activations.wait(5000));
    EXPECT_EQ(activations.first().first().toString(), "#");
    EXPECT_TRUE(SingleInstanceChecker::sendToRunningInstance("other"));
    ASSERT_TRUE(activations.count() == 2 || activations.wait(5000));
    EXPECT_EQ(activations.last().first().toString(), "other");
}

TEST(SingleInstanceChecker, ASocketLeftByAKilledUpdaterDoesNotBlockANewStart)
{
    Sandbox box;
    ASSERT_FALSE(SingleInstanceChecker::socketPath().isEmpty()); // creates the private directory
    ASSERT_TRUE(writeStaleSocket(SingleInstanceChecker::socketPath()));
    EXPECT_FALSE(SingleInstanceChecker::sendToRunningInstance("#"));

    LogCapture log;
    SingleInstanceChecker checker(nullptr);
    EXPECT_TRUE(checker.isListening());
    EXPECT_TRUE(log.contains("Removing stale single-instance socket"));
    QSignalSpy activations(&checker, &SingleInstanceChecker::otherInstanceActivate);
    EXPECT_TRUE(SingleInstanceChecker::sendToRunningInstance("#"));
    EXPECT_TRUE(activations.count() == 1 || activations.wait(5000));
}

TEST(SingleInstanceChecker, ADirectoryThatIsNotThisUsersOwnIsNeverUsed)
{
    // Whatever sits where the private directory belongs, the updater neither listens there nor believes an
    // updater is running, so nobody can stop its updates; and nothing is created behind a link. A shared
    // temporary directory is no fallback; one that is private to this user is.
    enum class Squat { File, Link, OpenMode, OtherOwner };
    struct Case
    {
        const char *name;
        Squat squat;
        bool privateTemp;
    };
    const Case cases[] = {
        {"a file", Squat::File, false},
        {"a link to a directory elsewhere", Squat::Link, false},
        {"a directory others may enter", Squat::OpenMode, false},
        {"another user's directory", Squat::OtherOwner, false},
        {"a file, with a private temporary directory", Squat::File, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        const QString dir = privateDir(box);
        ASSERT_TRUE(QDir().mkpath(box.path("elsewhere")));
        // What another user may create in a shared temporary directory: the guard does not look there.
        ASSERT_TRUE(QDir().mkpath(box.tempDir() + "/cv5_update_guard_" + QString::number(geteuid())));
        ASSERT_EQ(chmod(QFile::encodeName(box.tempDir()).constData(), c.privateTemp ? 0700 : 01777), 0);
        switch (c.squat) {
        case Squat::File:
            ASSERT_TRUE(Sandbox::writeFile(dir, "squatter"));
            break;
        case Squat::Link:
            ASSERT_TRUE(QFile::link(box.path("elsewhere"), dir));
            break;
        case Squat::OpenMode:
            ASSERT_TRUE(QDir().mkpath(dir));
            ASSERT_EQ(chmod(QFile::encodeName(dir).constData(), 0777), 0);
            break;
        case Squat::OtherOwner:
            ASSERT_TRUE(QDir().mkpath(dir));
            ASSERT_EQ(chmod(QFile::encodeName(dir).constData(), 0700), 0);
            if (chown(QFile::encodeName(dir).constData(), geteuid() + 4242, getegid()) != 0)
                continue; // only root can hand a directory to another user
            break;
        }
        const TreeSnapshot before = snapshotTree(box.root());

        SingleInstanceChecker checker(nullptr);
        if (c.privateTemp) {
            EXPECT_EQ(SingleInstanceChecker::socketPath(), box.tempDir() + "/" + SingleInstanceChecker::serverName());
            EXPECT_TRUE(checker.isListening());
            EXPECT_TRUE(SingleInstanceChecker::sendToRunningInstance("#"));
            continue;
        }
        EXPECT_EQ(SingleInstanceChecker::socketPath(), QString());
        EXPECT_FALSE(SingleInstanceChecker::sendToRunningInstance("#"));
        EXPECT_FALSE(checker.isListening());
        EXPECT_EQ(snapshotTree(box.root()), before);
    }
}

TEST(SingleInstanceChecker, ThePrivateRuntimeDirectoryComesFirst)
{
    Sandbox box;
    const QString runtime = box.path("run");
    ASSERT_TRUE(QDir().mkpath(runtime));
    ASSERT_EQ(chmod(QFile::encodeName(runtime).constData(), 0700), 0);
    box.setEnv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    EXPECT_EQ(SingleInstanceChecker::socketPath(), runtime + "/" + SingleInstanceChecker::serverName());

    // A runtime directory others may enter is passed over for the one under the home directory.
    ASSERT_EQ(chmod(QFile::encodeName(runtime).constData(), 0755), 0);
    EXPECT_EQ(SingleInstanceChecker::socketPath(), privateDir(box) + "/" + SingleInstanceChecker::serverName());
}
