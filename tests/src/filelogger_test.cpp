#include "filelogger.h"

#include "support/sandbox.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <thread>
#include <vector>

#include <sys/stat.h>

namespace {

const QRegularExpression kFileName("^update__\\d{4}-\\d\\d-\\d\\d__\\d\\d_\\d\\d_\\d\\d\\.log$");
const QRegularExpression kLine("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3})\\t\\|\\t"
                               "(Debug|Info|Warning|Critical|Fatal)\\t\\|\\t(.*)$");

QString logDir(const Sandbox &sandbox)
{
    return sandbox.tempDir() + "/corvalink_update_log";
}

// The one log file of the run, or an empty path when there is none (or more than one).
QString onlyLogFile(const Sandbox &sandbox)
{
    const QStringList files = QDir(logDir(sandbox)).entryList(QDir::Files);
    return files.size() == 1 ? logDir(sandbox) + "/" + files.first() : QString();
}

QStringList logLines(const QString &path)
{
    QString text = QString::fromLocal8Bit(Sandbox::readFile(path));
    if (text.endsWith('\n'))
        text.chop(1);
    return text.isEmpty() ? QStringList() : text.split('\n');
}

// The constructor sets the process-wide switch; later tests must not see it left on.
struct LoggingSwitchReset
{
    ~LoggingSwitchReset() { loggingEnabled = false; }
};

enum class Marker { None, File, Directory };

void makeMarker(const Sandbox &sandbox, Marker marker)
{
    const QString path = sandbox.tempDir() + "/cv5_update_log";
    if (marker == Marker::File) {
        ASSERT_TRUE(Sandbox::writeFile(path, ""));
    } else if (marker == Marker::Directory) {
        ASSERT_TRUE(QDir().mkpath(path));
    }
}

} // namespace

TEST(FileLogger, MarkerDecidesWhetherALogFileIsMade)
{
    struct Case
    {
        const char *name;
        Marker marker;
        bool enabled;
    };
    const Case cases[] = {
        {"no marker", Marker::None, false},
        {"marker file", Marker::File, true},
        {"marker directory", Marker::Directory, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LoggingSwitchReset reset;
        Sandbox sandbox;
        makeMarker(sandbox, c.marker);
        const QDateTime before = QDateTime::currentDateTime();
        FileLogger logger;
        EXPECT_EQ(loggingEnabled, c.enabled);
        logger.open();
        logger.write(QtDebugMsg, "hello");
        const QDateTime after = QDateTime::currentDateTime();

        if (!c.enabled) {
            EXPECT_FALSE(QFileInfo::exists(logDir(sandbox)));
            continue;
        }
        const QString file = onlyLogFile(sandbox);
        ASSERT_FALSE(file.isEmpty());
        const QString name = QFileInfo(file).fileName();
        EXPECT_TRUE(kFileName.match(name).hasMatch()) << name.toStdString();
        // The name is the local time at opening, to the second.
        const QDateTime named = QDateTime::fromString(name, "'update__'yyyy-MM-dd'__'hh_mm_ss'.log'");
        ASSERT_TRUE(named.isValid()) << name.toStdString();
        EXPECT_GE(named.toSecsSinceEpoch(), before.toSecsSinceEpoch());
        EXPECT_LE(named.toSecsSinceEpoch(), after.toSecsSinceEpoch());
        EXPECT_EQ(logLines(file).size(), 1);
    }
}

TEST(FileLogger, WritesOneFlushedLinePerMessage)
{
    LoggingSwitchReset reset;
    Sandbox sandbox;
    makeMarker(sandbox, Marker::File);
    FileLogger logger;
    logger.open();
    const QString file = onlyLogFile(sandbox);
    ASSERT_FALSE(file.isEmpty());

    struct Case
    {
        QtMsgType type;
        const char *message;
        const char *levelField; // nullptr: the type writes nothing
    };
    const Case cases[] = {
        {QtDebugMsg, "debug text", "\t|\tDebug\t|\t"},           {QtInfoMsg, "info text", "\t|\tInfo\t|\t"},
        {QtWarningMsg, "warning text", "\t|\tWarning\t|\t"},     {QtCriticalMsg, "critical text", "\t|\tCritical\t|\t"},
        {QtFatalMsg, "fatal text", "\t|\tFatal\t|\t"},           {static_cast<QtMsgType>(7), "unknown type", nullptr},
        {QtDebugMsg, "with\ttab and ümlaut", "\t|\tDebug\t|\t"},
    };
    int expectedLines = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        const QDateTime before = QDateTime::currentDateTime();
        logger.write(c.type, c.message);
        const QDateTime after = QDateTime::currentDateTime();
        // Read back while the logger is still open: every line must be on disk at once.
        const QStringList lines = logLines(file);
        if (!c.levelField) {
            EXPECT_EQ(lines.size(), expectedLines);
            continue;
        }
        ASSERT_EQ(lines.size(), ++expectedLines);
        const QString line = lines.last();
        const QRegularExpressionMatch match = kLine.match(line);
        ASSERT_TRUE(match.hasMatch()) << line.toStdString();
        EXPECT_EQ(line.mid(23), c.levelField + QString(c.message));
        const QDateTime stamp = QDateTime::fromString(match.captured(1), "yyyy-MM-dd hh:mm:ss:zzz");
        EXPECT_GE(stamp, before);
        EXPECT_LE(stamp, after);
    }
}

TEST(FileLogger, DropsLinesAfterClose)
{
    LoggingSwitchReset reset;
    Sandbox sandbox;
    makeMarker(sandbox, Marker::File);
    FileLogger logger;
    logger.open();
    logger.write(QtDebugMsg, "kept");
    logger.close();
    logger.write(QtWarningMsg, "lost");
    logger.close();

    const QStringList lines = logLines(onlyLogFile(sandbox));
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines.first().endsWith("\t|\tDebug\t|\tkept"));
}

TEST(FileLogger, LogDirectoryBlockedByFileLosesLinesSilently)
{
    LoggingSwitchReset reset;
    Sandbox sandbox;
    makeMarker(sandbox, Marker::File);
    ASSERT_TRUE(Sandbox::writeFile(logDir(sandbox), "not a directory"));
    FileLogger logger;
    logger.open();
    logger.write(QtDebugMsg, "lost");
    logger.close();
    EXPECT_EQ(Sandbox::readFile(logDir(sandbox)), QByteArray("not a directory"));
}

// Other local users share the temporary directory: the log directory is made private, and one that others
// can write into, or that is a link, is not used at all.
TEST(FileLogger, UsesOnlyAPrivateLogDirectoryOfThisUser)
{
    struct Case
    {
        const char *name;
        int existingMode; // -1: no directory yet; -2: a link to a directory of this user
        bool logs;
    };
    const Case cases[] = {
        {"made by the logger", -1, true},
        {"left by an earlier run, 0755", 0755, true},
        {"writable by the group", 0770, false},
        {"writable by everyone", 0777, false},
        {"a link to a directory", -2, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LoggingSwitchReset reset;
        Sandbox sandbox;
        makeMarker(sandbox, Marker::File);
        if (c.existingMode >= 0) {
            ASSERT_TRUE(QDir().mkpath(logDir(sandbox)));
            ASSERT_EQ(::chmod(QFile::encodeName(logDir(sandbox)).constData(), mode_t(c.existingMode)), 0);
        } else if (c.existingMode == -2) {
            ASSERT_TRUE(QDir().mkpath(sandbox.path("elsewhere")));
            ASSERT_TRUE(QFile::link(sandbox.path("elsewhere"), logDir(sandbox)));
        }
        FileLogger logger;
        logger.open();
        logger.write(QtDebugMsg, "line");
        logger.close();
        EXPECT_EQ(onlyLogFile(sandbox).isEmpty(), !c.logs);
        EXPECT_EQ(QDir(sandbox.path("elsewhere")).entryList(QDir::Files), QStringList());
        if (c.existingMode == -1) {
            struct stat info;
            ASSERT_EQ(::lstat(QFile::encodeName(logDir(sandbox)).constData(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, 0700u);
        }
    }
}

TEST(FileLogger, SecondRunInTheSameSecondTruncates)
{
    LoggingSwitchReset reset;
    Sandbox sandbox;
    makeMarker(sandbox, Marker::File);
    // Both loggers name their file after the same second unless a second boundary falls between them;
    // retry then, so that the test never depends on timing.
    for (int attempt = 0; attempt < 5; ++attempt) {
        QDir(logDir(sandbox)).removeRecursively();
        const qint64 second = QDateTime::currentSecsSinceEpoch();
        {
            FileLogger first;
            first.open();
            first.write(QtDebugMsg, "first run");
        }
        FileLogger later;
        later.open();
        if (QDateTime::currentSecsSinceEpoch() != second)
            continue;
        later.write(QtDebugMsg, "second run");
        const QStringList lines = logLines(onlyLogFile(sandbox));
        ASSERT_EQ(lines.size(), 1);
        EXPECT_TRUE(lines.first().endsWith("second run"));
        return;
    }
    GTEST_SKIP() << "every attempt crossed a second boundary";
}

// These run in a forked child, so that the process's one logger is created inside the sandbox and the
// test process itself never installs the handler.
TEST(FileLoggerDeathTest, FatalLineReachesFileBeforeAbort)
{
    Sandbox sandbox;
    makeMarker(sandbox, Marker::File);
    EXPECT_EXIT(
        {
            FileLogger::instance();
            qInstallMessageHandler(logMessageHandler);
            qDebug("before");
            qFatal("fatal %d", 42);
        },
        ::testing::KilledBySignal(SIGABRT), "");

    const QStringList lines = logLines(onlyLogFile(sandbox));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith("\t|\tDebug\t|\tbefore"));
    EXPECT_TRUE(lines[1].endsWith("\t|\tFatal\t|\tfatal 42"));
}

TEST(FileLoggerDeathTest, LinesFromManyThreadsNeverInterleave)
{
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 300;
    Sandbox sandbox;
    makeMarker(sandbox, Marker::File);
    const QString padding(200, 'x');
    EXPECT_EXIT(
        {
            FileLogger::instance();
            qInstallMessageHandler(logMessageHandler);
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([t, &padding] {
                    for (int i = 0; i < kLinesPerThread; ++i)
                        qWarning("thread %d line %d %s", t, i, qPrintable(padding));
                });
            }
            for (std::thread &thread : threads)
                thread.join();
            FileLogger::instance()->close();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");

    const QStringList lines = logLines(onlyLogFile(sandbox));
    ASSERT_EQ(lines.size(), kThreads * kLinesPerThread);
    const QRegularExpression message("^thread (\\d) line (\\d+) " + padding + "$");
    int next[kThreads] = {};
    for (const QString &line : lines) {
        const QRegularExpressionMatch outer = kLine.match(line);
        ASSERT_TRUE(outer.hasMatch()) << line.toStdString();
        EXPECT_EQ(outer.captured(2), "Warning");
        const QRegularExpressionMatch inner = message.match(outer.captured(3));
        ASSERT_TRUE(inner.hasMatch()) << line.toStdString();
        const int t = inner.captured(1).toInt();
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(inner.captured(2).toInt(), next[t]++); // each thread's lines in its own order
    }
}
