// Runs the real "update" program in a sandbox and looks at what it leaves behind.
#include "support/sandbox.h"
#include "support/vnckeyboard.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

struct ProgramRun
{
    int exitCode = -1;
    bool crashed = false;
    QByteArray out;
    QByteArray err;
    QDateTime started;
    QDateTime ended;
};

QProcessEnvironment programEnvironment(const QString &platform)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment(); // the sandbox's TMPDIR, HOME, ...
    env.insert("QT_QPA_PLATFORM", platform);
    // Under LeakSanitizer the child reads the same suppressions as the tests and must not report them on
    // standard error, which has to stay empty.
    env.insert("LSAN_OPTIONS", "suppressions=" CORVALINK_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0");
    return env;
}

// Runs the program to its end. A refused command line shows the box "Error" first: the run gets a VNC
// screen, and Return is pressed on it until the program has ended (a press before the box is up goes
// nowhere).
ProgramRun runUpdate(const QStringList &arguments)
{
    const quint16 port = VncKeyboard::freePort();
    QProcess process;
    process.setProcessEnvironment(programEnvironment("vnc:port=" + QString::number(port)));
    ProgramRun run;
    run.started = QDateTime::currentDateTime();
    process.start(CORVALINK_BINARY_DIR "/src/update", arguments);
    bool finished = false;
    if (process.waitForStarted(30000)) {
        VncKeyboard keyboard;
        const bool typing = keyboard.connectTo(port);
        QDeadlineTimer deadline(60000);
        while (!(finished = process.waitForFinished(100)) && !deadline.hasExpired()) {
            if (typing)
                keyboard.press(VncKeyboard::kReturn);
        }
    }
    run.ended = QDateTime::currentDateTime();
    EXPECT_TRUE(finished) << "update did not end";
    if (!finished) {
        process.kill();
        process.waitForFinished(10000);
    }
    run.crashed = process.exitStatus() == QProcess::CrashExit;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

enum class Marker { None, File, Directory };

} // namespace

TEST(UpdateProgram, ExitCodeAndLogFile)
{
    struct Case
    {
        const char *name;
        Marker marker;
        bool blockLogDir; // a plain file named like the log directory
        QStringList arguments;
        int exitCode;
        const char *lastLine; // the last log line's level and message; nullptr: no log file
    };
    // Each refused command line is told to the user in the box "Error" before the program ends.
    const char *refused = "\t|\tWarning\t|\tFailed to parse command line options, aborting";
    const Case cases[] = {
        {"bad version, marker file", Marker::File, false, {"client_linux_x86", "abc"}, 1, refused},
        {"bad version after flag, marker directory",
         Marker::Directory,
         false,
         {"--clientupdate", "client_linux_x86", "3x", "#"},
         1,
         refused},
        {"bad version, no marker", Marker::None, false, {"client_linux_x86", "abc"}, 1, nullptr},
        {"log directory blocked", Marker::File, true, {"client_linux_x86", "abc"}, 1, nullptr},
    };
    const QRegularExpression fileName("^update__\\d{4}-\\d\\d-\\d\\d__\\d\\d_\\d\\d_\\d\\d\\.log$");
    const QRegularExpression line("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3})\\t\\|\\t"
                                  "(Debug|Info|Warning|Critical|Fatal)\\t\\|\\t.*$");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
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

        const ProgramRun run = runUpdate(c.arguments);
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, c.exitCode);
        // Qt's default output is replaced for the whole run: nothing reaches the terminal.
        EXPECT_EQ(run.err.toStdString(), "");
        EXPECT_EQ(run.out.toStdString(), "");

        if (c.blockLogDir) {
            EXPECT_EQ(Sandbox::readFile(logDir), QByteArray("blocker"));
            continue;
        }
        if (!c.lastLine) {
            EXPECT_FALSE(QFileInfo::exists(logDir));
            continue;
        }

        const QStringList files = QDir(logDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        ASSERT_EQ(files.size(), 1) << files.join(", ").toStdString();
        EXPECT_TRUE(fileName.match(files.first()).hasMatch()) << files.first().toStdString();
        const QDateTime named = QDateTime::fromString(files.first(), "'update__'yyyy-MM-dd'__'hh_mm_ss'.log'");
        EXPECT_GE(named.toSecsSinceEpoch(), run.started.toSecsSinceEpoch());
        EXPECT_LE(named.toSecsSinceEpoch(), run.ended.toSecsSinceEpoch());

        const QByteArray text = Sandbox::readFile(logDir + "/" + files.first());
        ASSERT_TRUE(text.endsWith('\n'));
        const QStringList lines = QString::fromLocal8Bit(text.left(text.size() - 1)).split('\n');
        for (const QString &l : lines) {
            const QRegularExpressionMatch match = line.match(l);
            ASSERT_TRUE(match.hasMatch()) << l.toStdString();
            const QDateTime stamp = QDateTime::fromString(match.captured(1), "yyyy-MM-dd hh:mm:ss:zzz");
            EXPECT_GE(stamp, run.started);
            EXPECT_LE(stamp, run.ended);
        }
        EXPECT_TRUE(lines.indexOf(QRegularExpression(".*\\t\\|\\tDebug\\t\\|\\tCorvalink updater started$")) >= 0);
        EXPECT_EQ(lines.last().mid(23).toStdString(), c.lastLine);
    }
}

TEST(UpdateProgram, UsableCommandLineShowsTheWindowAndStartsTheUpdateTwoSecondsLater)
{
    struct Case
    {
        const char *name;
        bool log;
    };
    const Case cases[] = {{"with log", true}, {"without log", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        // A copy of the program, so that the session record it writes beside itself stays in the sandbox.
        const QString program = sandbox.path("program/update");
        ASSERT_TRUE(QDir().mkpath(sandbox.path("program")));
        ASSERT_TRUE(QFile::copy(CORVALINK_BINARY_DIR "/src/update", program));
        const QString logDir = sandbox.tempDir() + "/corvalink_update_log";
        if (c.log) {
            ASSERT_TRUE(Sandbox::writeFile(sandbox.tempDir() + "/cv5_update_log", ""));
        }
        // The run's downloads go to a closed port on this machine, never out to the configured host.
        const QByteArray tree = "http://127.0.0.1:" + QByteArray::number(VncKeyboard::freePort()) + "/tree/";
        ASSERT_TRUE(Sandbox::writeFile(sandbox.configDir() + "update.ini", "[Channel]\nalpha=" + tree + "\n"));
        // Reboot answers of an earlier run; step one removes them once the window is up.
        const QString markers[] = {sandbox.tempDir() + "/cv5_force_update",
                                   sandbox.tempDir() + "/cv5_force_update_check"};
        for (const QString &marker : markers)
            ASSERT_TRUE(Sandbox::writeFile(marker, ""));

        QProcess process;
        process.setProcessEnvironment(programEnvironment("offscreen"));
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
        EXPECT_EQ(process.readAllStandardError().toStdString(), "");
        EXPECT_EQ(process.readAllStandardOutput().toStdString(), "");
        for (const QString &marker : markers)
            EXPECT_FALSE(QFileInfo::exists(marker)) << marker.toStdString();
        if (!c.log) {
            EXPECT_FALSE(QFileInfo::exists(logDir));
            continue;
        }

        const QStringList files = QDir(logDir).entryList(QDir::Files);
        ASSERT_EQ(files.size(), 1);
        const QStringList lines = QString::fromLocal8Bit(Sandbox::readFile(logDir + "/" + files.first())).split('\n');
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
        EXPECT_FALSE(lines.join('\n').contains("Failed to parse command line options"));
        // The start timer runs 2000 ms (a coarse timer may fire up to 5 % early).
        EXPECT_GE(started.msecsTo(attempt), 1900);
        EXPECT_LE(cleared, attempt);
    }
}
