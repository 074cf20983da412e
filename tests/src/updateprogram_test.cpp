// Runs the real "update" program in a sandbox and looks at what it leaves behind.
#include "support/sandbox.h"

#include <QDateTime>
#include <QDir>
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

ProgramRun runUpdate(const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment(); // the sandbox's TMPDIR, HOME, ...
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // Under LeakSanitizer the child reads the same suppressions as the tests and must not report them on
    // standard error, which has to stay empty.
    env.insert("LSAN_OPTIONS", "suppressions=" CORVALINK_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0");
    QProcess process;
    process.setProcessEnvironment(env);
    ProgramRun run;
    run.started = QDateTime::currentDateTime();
    process.start(CORVALINK_BINARY_DIR "/src/update", arguments);
    const bool finished = process.waitForStarted(30000) && process.waitForFinished(60000);
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
        {"usable command line, no marker", Marker::None, false, {"--nouser", "client_linux_x86", "3"}, 0, nullptr},
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

TEST(UpdateProgram, LogsTheRunWhenTheCommandLineIsUsable)
{
    Sandbox sandbox;
    ASSERT_TRUE(Sandbox::writeFile(sandbox.tempDir() + "/cv5_update_log", ""));
    const ProgramRun run = runUpdate({"--nouser", "client_linux_x86", "3"});
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err.toStdString(), "");

    const QString logDir = sandbox.tempDir() + "/corvalink_update_log";
    const QStringList files = QDir(logDir).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    const QString text = QString::fromLocal8Bit(Sandbox::readFile(logDir + "/" + files.first()));
    EXPECT_TRUE(text.contains("\t|\tDebug\t|\tCorvalink updater started\n"));
    EXPECT_TRUE(text.contains("\t|\tDebug\t|\tclientType \"client_linux_x86\"\n"));
    EXPECT_FALSE(text.contains("Failed to parse command line options"));
}
