// The detached starts at the end of a run: what program runs, where, and with which arguments.
#include "processtools.h"

#include "support/logcapture.h"
#include "support/qtprinters.h"
#include "support/recordingscript.h"
#include "support/sandbox.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

namespace {
QString physical(const QString &dir)
{
    return QDir(dir).canonicalPath();
}
} // namespace

TEST(ProcessTools, StartsTheClientsRunScriptInItsDirectoryWithoutArguments)
{
    struct Case
    {
        const char *name;
        const char *suffix; // appended to the directory handed over
    };
    const Case cases[] = {{"plain directory", ""}, {"directory with trailing slash", "/"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        const QString installDir = sandbox.path("install dir");
        const RecordingScript script(installDir + "/cv5client_runscript.sh");
        ASSERT_TRUE(script.created());

        ProcessTools::startCv5Client(installDir + c.suffix);

        const RecordingScript::Run run = script.waitForRun();
        ASSERT_TRUE(run.seen);
        EXPECT_EQ(run.workingDir, physical(installDir));
        EXPECT_EQ(run.argumentCount, 0);
    }
}

TEST(ProcessTools, StartsTheNewUpdaterInTheTemporaryDirectoryWithItsArgumentsUnchanged)
{
    const QStringList argumentLists[] = {
        {"--clientupdate", "client_linux_x86", "42", "#"},
        {"--clientupdate", "client_linux_x86", "7", "Corvalink 3.7 beta"},
    };
    for (const QStringList &arguments : argumentLists) {
        SCOPED_TRACE(arguments.last().toStdString());
        Sandbox sandbox;
        const QString tempDir = sandbox.tempDir() + "/corvalink_temp_0";
        const RecordingScript updater(tempDir + "/update");
        ASSERT_TRUE(updater.created());

        EXPECT_TRUE(ProcessTools::startClientUpdater(tempDir, arguments));

        const RecordingScript::Run run = updater.waitForRun();
        ASSERT_TRUE(run.seen);
        EXPECT_EQ(run.workingDir, physical(tempDir));
        EXPECT_EQ(run.argumentCount, 4);
        EXPECT_EQ(run.arguments, arguments);
    }
}

TEST(ProcessTools, MissingProgramsStartNothingAndOnlyLeaveALogLine)
{
    Sandbox sandbox;
    const QString tempDir = sandbox.tempDir() + "/corvalink_temp_0";
    // Under another name the updater is not found; the stand-in records it if it ever runs.
    const RecordingScript elsewhere(tempDir + "/update.sh");
    ASSERT_TRUE(elsewhere.created());
    const QString missingInstall = sandbox.path("no such install");

    LogCapture log;
    EXPECT_FALSE(ProcessTools::startClientUpdater(tempDir, {"--clientupdate", "client_linux_x86", "42", "#"}));
    ProcessTools::startCv5Client(missingInstall);

    const QString updater = tempDir + "/update";
    EXPECT_TRUE(log.contains("Failed to find \"" + updater + "\"")) << log.lines().join('\n').toStdString();
    EXPECT_FALSE(log.contains("starting \"" + updater + "\""));
    // The run script is started without looking first; the failed start is silent.
    EXPECT_TRUE(log.contains("starting  \"" + missingInstall + "/cv5client_runscript.sh\""));
    EXPECT_FALSE(elsewhere.ran());
    EXPECT_FALSE(QFileInfo::exists(missingInstall));
}

TEST(ProcessTools, AnUpdaterThatCannotBeStartedIsReportedAsNotStarted)
{
    Sandbox sandbox;
    const QString tempDir = sandbox.tempDir() + "/corvalink_temp_0";
    // An entry of the name exists, but it is no program.
    ASSERT_TRUE(QDir().mkpath(tempDir + "/update/inner"));

    LogCapture log;
    EXPECT_FALSE(ProcessTools::startClientUpdater(tempDir, {"--clientupdate", "client_linux_x86", "42", "#"}));
    EXPECT_TRUE(log.contains("Failed to start \"" + tempDir + "/update\"")) << log.lines().join('\n').toStdString();
}
