// The real "update" program against a hostile update server and against another local user who can write into
// the shared temporary directory. Each run is step two of an update to version 2 from a server of the test's
// own on 127.0.0.1; what the program may hold in memory and in the temporary directory is bounded.
#include "support/hostilebodies.h"
#include "support/httptestserver.h"
#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/treesnapshot.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <gtest/gtest.h>

#include <functional>
#include <iostream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const uid_t kNobody = 65534;
const qint64 kMiB = 1024 * 1024;

// One installation with the updater in it, the update server and a run of the installed program.
class ProgramRun
{
public:
    explicit ProgramRun(bool logOn = true)
    {
        if (logOn)
            Sandbox::writeFile(m_box.tempDir() + "/cv5_update_log", QByteArray());
    }
    ProgramRun(const ProgramRun &) = delete;
    ProgramRun &operator=(const ProgramRun &) = delete;

    bool prepare()
    {
        if (!QDir().mkpath(installDir()) || !m_server.start()) {
            ADD_FAILURE() << "installation or server not set up";
            return false;
        }
        const QString program = installDir() + "/update";
        if (!QFile::copy(CORVALINK_BINARY_DIR "/src/update", program) ||
            chmod(QFile::encodeName(program).constData(), 0755) != 0) {
            ADD_FAILURE() << "update not copied";
            return false;
        }
        QSettings ini(installDir() + "/update.ini", QSettings::IniFormat);
        ini.setValue("Channel/alpha", m_server.url("tree/"));
        ini.setValue("Channel/alphaRevno", 2);
        ini.sync();
        return ini.status() == QSettings::NoError;
    }

    void start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment(); // the sandbox's TMPDIR, HOME, ...
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("LSAN_OPTIONS", "suppressions=" CORVALINK_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0");
        // AddressSanitizer keeps freed memory aside for a while; without that the peak shows what the
        // program itself holds.
        const QString asan = env.value("ASAN_OPTIONS");
        env.insert("ASAN_OPTIONS", (asan.isEmpty() ? QString() : asan + ":") + "quarantine_size_mb=0");
        m_process.setProcessEnvironment(env);
        m_process.setWorkingDirectory(installDir());
        m_process.start(installDir() + "/update", {"--clientupdate"});
        ASSERT_TRUE(m_process.waitForStarted(30000));
    }

    // Turns the event loop (the server runs in this process) until condition() holds, sampling the
    // temporary directory's size on the way. False when the program ended or the time ran out first.
    bool waitFor(const std::function<bool()> &condition)
    {
        return waitUntil(
            [&] {
                m_peakTempBytes = qMax(m_peakTempBytes, tempBytes());
                return condition() || m_process.state() == QProcess::NotRunning;
            },
            240000) &&
            m_process.state() != QProcess::NotRunning;
    }
    bool waitForEnd() { return waitFor([this] { return log().contains("Update canceled"); }); }

    // The program's peak resident memory so far, in bytes (0 once it has ended).
    qint64 peakMemory() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return 0;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
        }
        return 0;
    }
    qint64 peakTempBytes() const { return m_peakTempBytes; }

    void stop()
    {
        m_process.kill();
        m_process.waitForFinished(30000);
    }

    // What the program wrote to its standard channels and how it ended, for the reader of a failure.
    QString output()
    {
        return QString::fromLocal8Bit(m_process.readAllStandardError() + m_process.readAllStandardOutput()) +
            QStringLiteral("\nexit status %1, code %2\n").arg(m_process.exitStatus()).arg(m_process.exitCode());
    }
    HttpTestServer &server() { return m_server; }
    QString installDir() const { return m_box.path("Corvalink Client"); }
    QString tempDir() const { return m_box.tempDir(); }
    QString path(const QString &relative) const { return m_box.path(relative); }
    QString logDir() const { return tempDir() + "/corvalink_update_log"; }
    QString log() const
    {
        QString text;
        const QDir dir(logDir());
        for (const QString &name : dir.entryList(QDir::Files | QDir::NoSymLinks, QDir::Name))
            text += QString::fromUtf8(Sandbox::readFile(dir.filePath(name)));
        return text;
    }

private:
    // Bytes of all files below the temporary directory, the log aside; links are not followed.
    qint64 tempBytes() const
    {
        qint64 total = 0;
        QDirIterator it(tempDir(), QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            if (!it.filePath().startsWith(logDir() + "/"))
                total += it.fileInfo().size();
        }
        return total;
    }

    Sandbox m_box;
    HttpTestServer m_server;
    QProcess m_process;
    qint64 m_peakTempBytes = 0;
};

bool isRoot()
{
    return ::geteuid() == 0;
}

bool chownToNobody(const QString &path)
{
    return ::lchown(QFile::encodeName(path).constData(), kNobody, kNobody) == 0;
}

} // namespace

// Every answer is hostile: the product ini's download must end after a bounded amount of data, and the update
// is cancelled. Without bounds the endless body and the gzip answer would each put 256 MiB into the temporary
// directory and the packed-ini bomb 128 MiB, into memory and onto disk.
TEST(HostileServer, OversizedAnswersAreCutOffWithinBoundedMemoryAndDisk)
{
    struct Case
    {
        const char *name;
        HttpTestServer::Fault answer;
        const char *logLine; // how the run noticed
    };
    HttpTestServer::Fault gzipBomb = HttpTestServer::Fault::withBody(hostilebodies::gzipOfZeros(256 * kMiB));
    gzipBomb.headers = {{"Content-Encoding", "gzip"}};
    const Case cases[] = {
        {"endless body", HttpTestServer::Fault::unbounded(256 * kMiB),
         "More than 8388608 bytes for \"cv5_client_linux_x86.ini._lzma2_\""},
        {"gzip-encoded bomb", gzipBomb, "Refused content encoding \"gzip\" of \"cv5_client_linux_x86.ini._lzma2_\""},
        {"packed-ini bomb", HttpTestServer::Fault::withBody(hostilebodies::lzmaContainerOfZeros(128 * kMiB)),
         "cv5_client_linux_x86.ini\" false"},
    };
    // The packed ini may take 8 MiB of disk while it arrives; the program itself needs some 60 MiB under the
    // sanitizers. Neither bound leaves room for the 128 MiB or more that an unbounded run takes.
    const qint64 kDiskBound = 12 * kMiB;
    const qint64 kMemoryBound = 128 * kMiB;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ProgramRun run;
        ASSERT_TRUE(run.prepare());
        run.server().setDefaultFault(c.answer);
        run.start();
        const bool ended = run.waitForEnd();
        const qint64 memory = run.peakMemory();
        run.stop();
        ASSERT_TRUE(ended) << run.output().toStdString() << run.log().toStdString();
        EXPECT_TRUE(run.log().contains(c.logLine)) << run.log().toStdString();
        std::cout << c.name << ": peak memory " << memory / kMiB << " MiB, peak disk " << run.peakTempBytes() / kMiB
                  << " MiB\n";
        EXPECT_LT(run.peakTempBytes(), kDiskBound);
        EXPECT_GT(memory, 0);
        EXPECT_LT(memory, kMemoryBound);
        EXPECT_FALSE(QFileInfo::exists(run.tempDir() + "/corvalink_temp_0/cv5_client_linux_x86.ini"));
    }
}

// After a reboot has emptied the temporary directory, another user makes a directory under the name that the
// session record gives. The program must not work in it: it starts a new private session beside it.
TEST(HostileLocalUser, StaleSessionDirectoryOfSomeoneElseIsNotReused)
{
    struct Case
    {
        const char *name;
        bool otherOwner;
        mode_t mode;
    };
    const Case cases[] = {
        {"another user's directory", true, 0755},
        {"this user's directory, writable by everyone", false, 0777},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.otherOwner && !isRoot()) {
            std::cout << "skipped (needs root to hand a directory to another user): " << c.name << "\n";
            continue;
        }
        ProgramRun run;
        ASSERT_TRUE(run.prepare());
        const QString stale = run.tempDir() + "/corvalink_temp_0";
        ASSERT_TRUE(Sandbox::writeFile(stale + "/cv5_client_linux_x86.ini", "[planted]\n"));
        ASSERT_EQ(chmod(QFile::encodeName(stale).constData(), c.mode), 0);
        if (c.otherOwner) {
            ASSERT_TRUE(chownToNobody(stale + "/cv5_client_linux_x86.ini"));
            ASSERT_TRUE(chownToNobody(stale));
        }
        {
            QSettings ini(run.installDir() + "/update.ini", QSettings::IniFormat);
            ini.setValue("current/version", 2);
            ini.setValue("current/dir", stale);
            ini.setValue("current/cv5dir", run.installDir());
            ini.setValue("current/type", "client_linux_x86");
        }
        const TreeSnapshot before = snapshotTree(stale);
        // Whatever is fetched is no container: the update ends at the unpacking, with the download kept.
        run.server().setDefaultFault(HttpTestServer::Fault::withBody("not a container"));
        run.start();
        const bool ended = run.waitForEnd();
        run.stop();
        ASSERT_TRUE(ended) << run.log().toStdString();

        EXPECT_EQ(snapshotTree(stale), before);
        const QString fresh = run.tempDir() + "/corvalink_temp_1";
        QSettings ini(run.installDir() + "/update.ini", QSettings::IniFormat);
        EXPECT_EQ(ini.value("current/dir").toString(), fresh);
        struct stat info;
        ASSERT_EQ(::lstat(QFile::encodeName(fresh).constData(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0700u);
        EXPECT_EQ(info.st_uid, ::geteuid());
        EXPECT_TRUE(QFileInfo::exists(fresh + "/cv5_client_linux_x86.ini._lzma2_"));
    }
}

// Anyone can create the marker that switches logging on and a log directory full of links named like the
// next minutes' log files. The program must write through none of them.
TEST(HostileLocalUser, LogDirectoryOfLinksIsNeverWrittenThrough)
{
    enum class Layout { OthersDirectory, LinkToDirectory, OwnDirectoryWithLinks };
    struct Case
    {
        const char *name;
        Layout layout;
        bool logs; // whether the run has a log of its own
    };
    const Case cases[] = {
        {"another user's directory of links", Layout::OthersDirectory, false},
        {"a link to a directory of links", Layout::LinkToDirectory, false},
        {"this user's private directory with links in it", Layout::OwnDirectoryWithLinks, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.layout == Layout::OthersDirectory && !isRoot()) {
            std::cout << "skipped (needs root to hand a directory to another user): " << c.name << "\n";
            continue;
        }
        ProgramRun run;
        ASSERT_TRUE(run.prepare());
        const QString victim = run.path("victim");
        ASSERT_TRUE(Sandbox::writeFile(victim, "the user's own file"));
        const QString links = c.layout == Layout::LinkToDirectory ? run.path("elsewhere") : run.logDir();
        ASSERT_TRUE(QDir().mkpath(links));
        // A link for every name the run may choose, from a little before now to well after.
        const QDateTime now = QDateTime::currentDateTime();
        for (int s = -5; s <= 600; ++s) {
            const QString name = "update__" + now.addSecs(s).toString("yyyy-MM-dd'__'hh_mm_ss") + ".log";
            ASSERT_TRUE(QFile::link(victim, links + "/" + name));
        }
        if (c.layout == Layout::LinkToDirectory) {
            ASSERT_TRUE(QFile::link(links, run.logDir()));
        } else if (c.layout == Layout::OthersDirectory) {
            ASSERT_EQ(chmod(QFile::encodeName(links).constData(), 0777), 0);
            ASSERT_TRUE(chownToNobody(links));
        } else {
            ASSERT_EQ(chmod(QFile::encodeName(links).constData(), 0700), 0);
        }
        const TreeSnapshot linksBefore = snapshotTree(links);

        run.start();
        // The log file is opened at start-up; the session directory appears when the update starts.
        const bool started = run.waitFor([&] { return QFileInfo::exists(run.tempDir() + "/corvalink_temp_0"); });
        run.stop();
        ASSERT_TRUE(started);

        EXPECT_EQ(Sandbox::readFile(victim), QByteArray("the user's own file"));
        if (c.logs) {
            EXPECT_TRUE(run.log().contains("Corvalink updater started"));
        } else {
            EXPECT_EQ(snapshotTree(links), linksBefore);
        }
    }
}
