// Install commands run as real child processes: small shell scripts written into a temporary directory.
#include "prepostinstalltaskspecification.h"

#include "configuration.h"

#include "support/qtprinters.h"
#include "support/recordingscript.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/taskrecorder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Writes tempDir/name with the given body after "#!/bin/sh", mode 0644 as a download leaves it.
bool writeCommand(const QString &tempDir, const QString &name, const QByteArray &body)
{
    const QString path = tempDir + "/" + name;
    return Sandbox::writeFile(path, "#!/bin/sh\n" + body) && chmod(QFile::encodeName(path).constData(), 0644) == 0;
}

unsigned modeOf(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

} // namespace

TEST(PrePostInstallFunc, ExitCodeAndOptionalDecideTheOutcome)
{
    struct Case
    {
        const char *name;
        QByteArray body; // null: no command file at all
        bool required;
        bool ok;
        QStringList messages; // after "Starting run.sh"
        int reboots;
    };
    const Case cases[] = {
        {"exit 0", "exit 0\n", true, true, {"run.sh completed sucessfully"}, 0},
        {"exit 1010, as the eight bits of its status",
         "exit 1010\n",
         true,
         true,
         {"run.sh completed sucessfully, reboot required"},
         1},
        {"exit 1, required", "exit 1\n", true, false, {"Failed to complete run.sh, exit code: 1"}, 0},
        {"exit 1, optional", "exit 1\n", false, true, {"Failed to complete run.sh, exit code: 1"}, 0},
        {"exit 2, required", "exit 2\n", true, false, {}, 0},
        {"exit 2, optional", "exit 2\n", false, true, {}, 0},
        {"killed by a signal, required", "kill -KILL $$\n", true, false, {}, 0},
        {"killed by a signal, optional", "kill -KILL $$\n", false, true, {}, 0},
        {"not startable, required", QByteArray(), true, false, {"Failed to start run.sh: "}, 0},
        {"not startable, optional", QByteArray(), false, true, {"Failed to start run.sh: "}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        const QString tempDir = box.path("session");
        if (!c.body.isNull()) {
            ASSERT_TRUE(writeCommand(tempDir, "run.sh", c.body));
        }

        PrePostInstallFunc func({"run.sh", {}, c.required}, tempDir);
        QSignalSpy messages(&func, &ASyncFunc::message);
        QSignalSpy reboots(&func, &PrePostInstallFunc::reboot_with_confirmation);
        QSignalSpy errors(&func, &ASyncFunc::error);
        EXPECT_EQ(func.run(), c.ok);

        QStringList texts;
        for (const QList<QVariant> &m : messages)
            texts << m.first().toString();
        ASSERT_EQ(texts.size(), c.messages.size() + 1) << texts.join(" | ").toStdString();
        EXPECT_EQ(texts.first(), "Starting run.sh");
        for (int i = 0; i < c.messages.size(); ++i) {
            // The start failure carries the system's reason after the colon.
            if (c.messages[i].endsWith(": ")) {
                EXPECT_TRUE(texts[i + 1].startsWith(c.messages[i]) && texts[i + 1].size() > c.messages[i].size())
                    << texts[i + 1].toStdString();
            } else {
                EXPECT_EQ(texts[i + 1], c.messages[i]);
            }
        }
        EXPECT_EQ(reboots.count(), c.reboots);
        EXPECT_EQ(errors.count(), 0);
        // The downloaded file was made executable before it ran.
        if (!c.body.isNull()) {
            EXPECT_EQ(modeOf(tempDir + "/run.sh"), 0755u);
        }
    }
}

TEST(PrePostInstallFunc, PassesEachArgumentWithTwoDashesInFront)
{
    Sandbox box;
    const QString tempDir = box.path("session");
    RecordingScript script(tempDir + "/tools/record.sh");
    ASSERT_TRUE(script.created());
    ASSERT_TRUE(QFile::setPermissions(tempDir + "/tools/record.sh", QFile::ReadOwner | QFile::WriteOwner));

    PrePostInstallFunc func({"tools/record.sh", {"/opt/Corvalink Client", "", "x=1", "--already"}, true}, tempDir);
    EXPECT_TRUE(func.run());
    const RecordingScript::Run run = script.waitForRun();
    ASSERT_TRUE(run.seen);
    EXPECT_EQ(run.argumentCount, 4);
    EXPECT_EQ(run.arguments, (QStringList {"--/opt/Corvalink Client", "--", "--x=1", "----already"}));
    // The command inherits the updater's working directory.
    EXPECT_EQ(run.workingDir, QFileInfo(QDir::currentPath()).canonicalFilePath());
}

TEST(PrePostInstallFunc, ALinkInPlaceOfTheCommandKeepsItsTargetsMode)
{
    Sandbox box;
    const QString tempDir = box.path("session");
    ASSERT_TRUE(writeCommand(box.path("elsewhere"), "tool.sh", "exit 0\n"));
    ASSERT_TRUE(QDir().mkpath(tempDir));
    ASSERT_TRUE(QFile::link(box.path("elsewhere/tool.sh"), tempDir + "/run.sh"));

    PrePostInstallFunc func({"run.sh", {}, true}, tempDir);
    EXPECT_FALSE(func.run()); // not executable, and not made so
    EXPECT_EQ(modeOf(box.path("elsewhere/tool.sh")), 0644u);
}

// A command file that an installed file shares (a second name of the same file) becomes a file of its own
// before it is made executable: it runs, and the installed file keeps its mode and bytes.
TEST(PrePostInstallFunc, ACommandSharedWithAnInstalledFileLeavesThatFileAlone)
{
    Sandbox box;
    const QString tempDir = box.path("session");
    ASSERT_TRUE(writeCommand(tempDir, "run.sh", "exit 0\n"));
    const QString installed = box.path("install/run.sh");
    ASSERT_TRUE(QDir().mkpath(box.path("install")));
    ASSERT_EQ(::link(QFile::encodeName(tempDir + "/run.sh").constData(), QFile::encodeName(installed).constData()), 0);
    const QByteArray bytes = Sandbox::readFile(installed);

    PrePostInstallFunc func({"run.sh", {}, true}, tempDir);
    EXPECT_TRUE(func.run());
    EXPECT_EQ(modeOf(tempDir + "/run.sh"), 0755u);
    EXPECT_EQ(modeOf(installed), 0644u);
    EXPECT_EQ(Sandbox::readFile(installed), bytes);
    EXPECT_EQ(Sandbox::readFile(tempDir + "/run.sh"), bytes);
    EXPECT_EQ(QDir(tempDir).entryList(QDir::Files | QDir::Hidden), QStringList {"run.sh"});
}

TEST(PrePostInstallList, RunsTheCommandsOneAfterTheOtherInOrder)
{
    // Each command notes its start and its end in one shared record, and its arguments with them; a second
    // command that started before the first had ended would show up between the two lines.
    struct Command
    {
        const char *name;
        int exitCode;
        bool required;
    };
    struct Case
    {
        const char *name;
        QList<Command> commands;
        int state;
        QStringList record;
        QStringList messages;
    };
    const Case cases[] = {
        {"no commands", {}, TASK_FINISHED, {}, {}},
        {"three that succeed",
         {{"a.sh", 0, true}, {"b.sh", 0, true}, {"c.sh", 0, true}},
         TASK_FINISHED,
         {"begin a.sh --1 --2", "end a.sh", "begin b.sh --1 --2", "end b.sh", "begin c.sh --1 --2", "end c.sh"},
         {"Starting install condition", "Starting a.sh", "a.sh completed sucessfully", "Starting b.sh",
          "b.sh completed sucessfully", "Starting c.sh", "c.sh completed sucessfully"}},
        {"a required failure keeps the next from starting",
         {{"a.sh", 0, true}, {"b.sh", 1, true}, {"c.sh", 0, true}},
         TASK_CANCELED,
         {"begin a.sh --1 --2", "end a.sh", "begin b.sh --1 --2", "end b.sh"},
         {"Starting install condition", "Starting a.sh", "a.sh completed sucessfully", "Starting b.sh",
          "Failed to complete b.sh, exit code: 1"}},
        {"an optional failure lets the next run",
         {{"a.sh", 3, false}, {"b.sh", 0, true}},
         TASK_FINISHED,
         {"begin a.sh --1 --2", "end a.sh", "begin b.sh --1 --2", "end b.sh"},
         {"Starting install condition", "Starting a.sh", "Starting b.sh", "b.sh completed sucessfully"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        Configuration config;
        config.m_tempDir = box.path("session");
        const QString record = box.path("record");
        QList<InstallCommand> commands;
        for (const Command &command : c.commands) {
            const QByteArray body = "echo \"begin " + QByteArray(command.name) + " $*\" >> '" +
                QFile::encodeName(record) +
                "'\n"
                "sleep 0.1\n"
                "echo \"end " +
                command.name + "\" >> '" + QFile::encodeName(record) + "'\nexit " +
                QByteArray::number(command.exitCode) + "\n";
            ASSERT_TRUE(writeCommand(config.m_tempDir, command.name, body));
            commands.append({command.name, {"1", "2"}, command.required});
        }

        PrePostInstallListTaskSpecification step(&commands, &config, nullptr, 0.1);
        TaskRecorder recorder(&step);
        step.execute();
        for (TaskSpecification *t : step.allTasks()) {
            EXPECT_NE(qobject_cast<PrePostInstallTaskSpecification *>(t), nullptr);
            EXPECT_DOUBLE_EQ(t->weight(), 0.1);
        }
        ASSERT_TRUE(waitForTaskEnd(&step, 30000));

        EXPECT_EQ(step.state(), c.state);
        EXPECT_EQ(recorder.messages(), c.messages);
        QStringList lines = QString::fromUtf8(Sandbox::readFile(record)).split('\n', Qt::SkipEmptyParts);
        EXPECT_EQ(lines, c.record);
    }
}

// After a reset the list runs its commands again and ends; before, its end-of-run flag stayed set from the
// first run, and a second run ran the command but never ended.
TEST(PrePostInstallList, RunsAgainAfterAReset)
{
    Sandbox box;
    Configuration config;
    config.m_tempDir = box.path("session");
    const QString record = box.path("record");
    ASSERT_TRUE(writeCommand(config.m_tempDir, "a.sh", "echo ran >> '" + QFile::encodeName(record) + "'\n"));
    QList<InstallCommand> commands {{"a.sh", {}, true}};
    PrePostInstallListTaskSpecification step(&commands, &config, nullptr, 0.1);
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        step.reset();
        step.execute();
        ASSERT_TRUE(waitForTaskEnd(&step, 30000));
        EXPECT_EQ(step.state(), TASK_FINISHED);
    }
    EXPECT_EQ(Sandbox::readFile(record), "ran\nran\n");
}
