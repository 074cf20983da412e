// Runs the real "update" program in a sandbox and looks at what it leaves behind.
#include "support/sandbox.h"
#include "support/scriptedtasks.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <gtest/gtest.h>

namespace {

// A port on this machine that nothing listens on a moment later.
quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

enum class Marker { None, File, Directory };

} // namespace

// A usable command line: the program shows its window, clears the reboot answers of an earlier run and
// starts the update 2000 ms after launch. The log file is written exactly when the marker exists.
TEST(UpdateProgram, UsableCommandLineShowsTheWindowAndStartsTheUpdateTwoSecondsLater)
{
    struct Case
    {
        const char *name;
        Marker marker;
        bool blockLogDir; // a plain file named like the log directory
        bool log;
    };
    const Case cases[] = {
        {"marker file", Marker::File, false, true},
        {"marker directory", Marker::Directory, false, true},
        {"no marker", Marker::None, false, false},
        {"log directory blocked", Marker::File, true, false},
    };
    const QRegularExpression fileName("^update__\\d{4}-\\d\\d-\\d\\d__\\d\\d_\\d\\d_\\d\\d\\.log$");
    const QRegularExpression lineFormat("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3})\\t\\|\\t"
                                        "(Debug|Info|Warning|Critical|Fatal)\\t\\|\\t.*$");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        // A copy of the program, so that the session record it writes beside itself stays in the sandbox.
        const QString program = sandbox.path("program/update");
        ASSERT_TRUE(QDir().mkpath(sandbox.path("program")));
        ASSERT_TRUE(QFile::copy(CORVALINK_BINARY_DIR "/src/update", program));
        const QString marker = sandbox.tempDir() + "/cv5_update_log";
        const QString logDir = sandbox.tempDir() + "/corvalink_update_log";
        if (c.marker == Marker::File) {
            ASSERT_TRUE(Sandbox::writeFile(marker, ""));
        } else if (c.marker == Marker::Directory) {
            ASSERT_TRUE(QDir().mkpath(marker));
        }
        if (c.blockLogDir) {
            ASSERT_TRUE(Sandbox::writeFile(logDir, "blocker"));
        }
        // The run's downloads go to a closed port on this machine, never out to the configured host.
        const quint16 port = closedPort();
        ASSERT_NE(port, 0);
        const QByteArray tree = "http://127.0.0.1:" + QByteArray::number(port) + "/tree/";
        ASSERT_TRUE(Sandbox::writeFile(sandbox.configDir() + "update.ini", "[Channel]\nalpha=" + tree + "\n"));
        // Reboot answers of an earlier run; step one removes them once the window is up.
        const QString markers[] = {sandbox.tempDir() + "/cv5_force_update",
                                   sandbox.tempDir() + "/cv5_force_update_check"};
        for (const QString &m : markers)
            ASSERT_TRUE(Sandbox::writeFile(m, ""));

        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment(); // the sandbox's TMPDIR, HOME, ...
        env.insert("QT_QPA_PLATFORM", "offscreen");
        // Under LeakSanitizer the child reads the same suppressions as the tests and must not report them on
        // standard error, which has to stay empty.
        env.insert("LSAN_OPTIONS", "suppressions=" CORVALINK_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0");
        process.setProcessEnvironment(env);
        const QDateTime launched = QDateTime::currentDateTime();
        process.start(program, {"--nouser", "client_linux_x86", "3"});
        ASSERT_TRUE(process.waitForStarted(30000));
        // The session directory appears when the start attempt 2000 ms after launch initialises the engine;
        // the log then says so.
        const QString session = sandbox.tempDir() + "/corvalink_temp_0";
        auto initialized = [&] {
            if (!QFileInfo::exists(session))
                return false;
            if (!c.log)
                return true;
            const QStringList files = QDir(logDir).entryList(QDir::Files);
            return !files.isEmpty() &&
                Sandbox::readFile(logDir + "/" + files.first()).contains("Update engine initialized");
        };
        QDeadlineTimer deadline(60000);
        bool ended = false;
        while (!initialized() && !deadline.hasExpired() && !(ended = process.waitForFinished(100))) { }
        EXPECT_FALSE(ended) << "exit code " << process.exitCode();
        EXPECT_TRUE(QFileInfo::exists(session));
        process.kill();
        process.waitForFinished(10000);
        const QDateTime killed = QDateTime::currentDateTime();
        // Qt's default output is replaced for the whole run: nothing reaches the terminal.
        EXPECT_EQ(process.readAllStandardError().toStdString(), "");
        EXPECT_EQ(process.readAllStandardOutput().toStdString(), "");
        for (const QString &m : markers)
            EXPECT_FALSE(QFileInfo::exists(m)) << m.toStdString();
        if (c.blockLogDir) {
            EXPECT_EQ(Sandbox::readFile(logDir), QByteArray("blocker"));
            continue;
        }
        if (!c.log) {
            EXPECT_FALSE(QFileInfo::exists(logDir));
            continue;
        }

        const QStringList files = QDir(logDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        ASSERT_EQ(files.size(), 1) << files.join(", ").toStdString();
        EXPECT_TRUE(fileName.match(files.first()).hasMatch()) << files.first().toStdString();
        const QDateTime named = QDateTime::fromString(files.first(), "'update__'yyyy-MM-dd'__'hh_mm_ss'.log'");
        EXPECT_GE(named.toSecsSinceEpoch(), launched.toSecsSinceEpoch());
        EXPECT_LE(named.toSecsSinceEpoch(), killed.toSecsSinceEpoch());

        // Every message is a whole line, flushed as it is written.
        const QByteArray text = Sandbox::readFile(logDir + "/" + files.first());
        ASSERT_TRUE(text.endsWith('\n'));
        const QStringList lines = QString::fromLocal8Bit(text.left(text.size() - 1)).split('\n');
        for (const QString &l : lines) {
            const QRegularExpressionMatch match = lineFormat.match(l);
            ASSERT_TRUE(match.hasMatch()) << l.toStdString();
            const QDateTime stamp = QDateTime::fromString(match.captured(1), "yyyy-MM-dd hh:mm:ss:zzz");
            EXPECT_GE(stamp, launched);
            EXPECT_LE(stamp, killed);
        }
        auto stampOf = [&](const QString &message) {
            for (const QString &line : lines) {
                if (line.endsWith("\t|\tDebug\t|\t" + message))
                    return QDateTime::fromString(line.left(23), "yyyy-MM-dd hh:mm:ss:zzz");
            }
            return QDateTime();
        };
        const QDateTime started = stampOf("Corvalink updater started");
        const QDateTime cleared = stampOf("delete_force_update_files 0");
        const QDateTime attempt = stampOf("onStartUpdate false false");
        ASSERT_TRUE(started.isValid());
        ASSERT_TRUE(cleared.isValid());
        ASSERT_TRUE(attempt.isValid());
        EXPECT_TRUE(stampOf("clientType \"client_linux_x86\"").isValid());
        EXPECT_TRUE(stampOf("Update engine initialized").isValid());
        EXPECT_FALSE(text.contains("Failed to parse command line options"));
        // The start timer runs 2000 ms (a coarse timer may fire up to 5 % early).
        EXPECT_GE(started.msecsTo(attempt), 1900);
        EXPECT_LE(cleared, attempt);
    }
}

// A run that fails on the network: the file server's port is closed. The log begins with what the run is and
// ends with what the user was shown, in the words of the window, and how the run went; the window then waits
// for the user. Nothing reaches standard error.
TEST(UpdateProgram, FailedRunLeavesALogThatNamesTheCauseAsTheUserSawIt)
{
    Sandbox sandbox;
    const QString program = sandbox.path("program/update");
    ASSERT_TRUE(QDir().mkpath(sandbox.path("program")));
    ASSERT_TRUE(QFile::copy(CORVALINK_BINARY_DIR "/src/update", program));
    ASSERT_TRUE(Sandbox::writeFile(sandbox.tempDir() + "/cv5_update_log", ""));
    const quint16 port = closedPort();
    ASSERT_NE(port, 0);
    const QByteArray tree = "http://127.0.0.1:" + QByteArray::number(port) + "/tree/";
    ASSERT_TRUE(Sandbox::writeFile(sandbox.configDir() + "update.ini", "[Channel]\nalpha=" + tree + "\n"));

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("LSAN_OPTIONS", "suppressions=" CORVALINK_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0");
    process.setProcessEnvironment(env);
    process.start(program, {"--clientupdate", "client_linux_x86", "3", "#"});
    ASSERT_TRUE(process.waitForStarted(30000));

    const QString logDir = sandbox.tempDir() + "/corvalink_update_log";
    auto messages = [&] {
        QStringList result;
        for (const QString &name : QDir(logDir).entryList(QDir::Files)) {
            const QString text = QString::fromLocal8Bit(Sandbox::readFile(logDir + "/" + name));
            for (const QString &line : text.split('\n', Qt::SkipEmptyParts)) {
                // Only the updater's own account of the run; Qt's plug-in warnings may come in between.
                if (line.contains("\t|\tInfo\t|\t"))
                    result << line.section("\t|\t", 2);
            }
        }
        return result;
    };
    const QString cancelBox = "Box \"Update\": Update cancelled. Push \"Details\" to check reasons.";
    QDeadlineTimer deadline(60000);
    bool ended = false;
    while (!messages().contains(cancelBox) && !deadline.hasExpired() && !(ended = process.waitForFinished(100))) { }
    EXPECT_FALSE(ended) << "exit code " << process.exitCode();
    process.kill();
    process.waitForFinished(10000);
    EXPECT_EQ(process.readAllStandardError().toStdString(), "");

    const QStringList lines = messages();
    ASSERT_GE(lines.size(), 8) << lines.join('\n').toStdString();
    EXPECT_EQ(lines.mid(0, 3), QStringList({"Updater version 3.0", "Step two: updating the client",
                                            "Command line: (\"" + program +
                                                "\", \"--clientupdate\", \"client_linux_x86\", \"3\", \"#\")"}));
    EXPECT_EQ(lines.mid(lines.size() - 5),
              QStringList({"Shown: Connection refused", "Shown: Unable to download cv5_client_linux_x86.ini._lzma2_",
                           "Shown: Update cancelled", "Run outcome: error", cancelBox}));
}

// Two updaters of one installation and user: the second hands "#" to the first, which raises its window, and
// ends with 0 before it builds a window. A first one killed with -9 leaves its socket behind, which does not
// keep the next from starting.
TEST(UpdateProgram, ASecondUpdaterRaisesTheRunningOneAndEnds)
{
    Sandbox sandbox;
    const QString program = sandbox.path("program/update");
    ASSERT_TRUE(QDir().mkpath(sandbox.path("program")));
    ASSERT_TRUE(QFile::copy(CORVALINK_BINARY_DIR "/src/update", program));
    ASSERT_TRUE(Sandbox::writeFile(sandbox.path("program/_old_update"), "an updater of long ago"));
    ASSERT_TRUE(Sandbox::writeFile(sandbox.tempDir() + "/cv5_update_log", ""));
    const quint16 port = closedPort();
    ASSERT_NE(port, 0);
    const QByteArray tree = "http://127.0.0.1:" + QByteArray::number(port) + "/tree/";
    ASSERT_TRUE(Sandbox::writeFile(sandbox.configDir() + "update.ini", "[Channel]\nalpha=" + tree + "\n"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment(); // the sandbox's TMPDIR, HOME, ...
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("LSAN_OPTIONS", "suppressions=" CORVALINK_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0");
    const QString logDir = sandbox.tempDir() + "/corvalink_update_log";
    // One log file per run, oldest first (the runs start seconds apart, so their names differ).
    const auto logOfRun = [&](int run) {
        const QStringList files = QDir(logDir).entryList(QDir::Files, QDir::Name);
        return run < files.size() ? QString::fromLocal8Bit(Sandbox::readFile(logDir + "/" + files[run])) : QString();
    };
    const auto startUpdater = [&](QProcess &process) {
        process.setProcessEnvironment(env);
        process.start(program, {"--nouser", "client_linux_x86", "3"});
        return process.waitForStarted(30000);
    };

    QProcess first;
    ASSERT_TRUE(startUpdater(first));
    // Its window (and with it the local server) exists once the start attempt has run.
    ASSERT_TRUE(waitUntil([&] { return logOfRun(0).contains("Update engine initialized"); }, 60000))
        << logOfRun(0).toStdString();
    EXPECT_FALSE(QFileInfo::exists(sandbox.path("program/_old_update")));

    QProcess second;
    ASSERT_TRUE(startUpdater(second));
    ASSERT_TRUE(second.waitForFinished(60000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(second.readAllStandardError().toStdString(), "");
    const QString secondLog = logOfRun(1);
    EXPECT_TRUE(secondLog.contains("Removing old files done\n"));
    EXPECT_TRUE(secondLog.endsWith("\t|\tDebug\t|\tDetected other instance running, aborting\n"))
        << secondLog.toStdString();
    EXPECT_FALSE(secondLog.contains("delete_force_update_files")); // no window was built
    EXPECT_TRUE(waitUntil([&] { return logOfRun(0).contains("Raising the window for another updater"); }, 30000));

    first.kill();
    first.waitForFinished(10000);
    // The next run's log must not share the second's file name, which has one-second steps.
    const qint64 secondEnded = QDateTime::currentSecsSinceEpoch();
    waitUntil([&] { return QDateTime::currentSecsSinceEpoch() > secondEnded; }, 5000);
    QProcess third;
    ASSERT_TRUE(startUpdater(third));
    EXPECT_TRUE(waitUntil([&] { return logOfRun(2).contains("Update engine initialized"); }, 60000))
        << logOfRun(2).toStdString();
    EXPECT_FALSE(logOfRun(2).contains("Detected other instance running"));
    EXPECT_EQ(third.state(), QProcess::Running);
    third.kill();
    third.waitForFinished(10000);
}
