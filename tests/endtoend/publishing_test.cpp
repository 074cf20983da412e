// docs/publishing.md followed as a newcomer would: its section "Worked example: publishing version 2 of a client"
// is run as written to build the server tree, and the real "update", installed beside version 1 of that
// client, is started as a user starts it (both steps) against nginx serving the tree.
#include "support/nginxserver.h"
#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/signing.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const char kSection[] = "## Worked example: publishing version 2 of a client";

// The first ```sh block of the document's section `heading`; empty when there is none.
QString scriptOfSection(const QString &document, const QString &heading)
{
    const int start = document.indexOf("\n" + heading + "\n");
    if (start < 0)
        return QString();
    const int end = document.indexOf("\n## ", start + 1);
    const QString section = document.mid(start, end < 0 ? -1 : end - start);
    const QRegularExpression block("\n```sh\n(.*?)\n```\n", QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = block.match(section);
    return match.hasMatch() ? match.captured(1) : QString();
}

bool writeProgram(const QString &path, const QByteArray &contents)
{
    return Sandbox::writeFile(path, contents) && chmod(QFile::encodeName(path).constData(), 0755) == 0;
}

// The run logs of the updater in the sandbox's temporary directory.
QStringList runLogs(const QString &tempDir)
{
    QStringList logs;
    const QDir dir(tempDir + "/corvalink_update_log");
    for (const QString &name : dir.entryList({"update__*.log"}, QDir::Files, QDir::Name))
        logs << QString::fromUtf8(Sandbox::readFile(dir.filePath(name)));
    return logs;
}

} // namespace

TEST(Publishing, TheWorkedExampleOfTheDocumentUpdatesAClientInBothSteps)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "this build has no development key to sign with";
    Sandbox box;
    QFile document(CORVALINK_SOURCE_DIR "/docs/publishing.md");
    ASSERT_TRUE(document.open(QIODevice::ReadOnly));
    const QString script = scriptOfSection(QString::fromUtf8(document.readAll()), kSection);
    ASSERT_FALSE(script.isEmpty()) << "no script in the section " << kSection;

    // The publisher's side, exactly as the document says.
    QProcess publisher;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KEY", signing::developmentPrivateKeyPem());
    env.insert("ROOT", box.path("server root"));
    env.insert("UPDATER", CORVALINK_BINARY_DIR "/src/update");
    publisher.setProcessEnvironment(env);
    publisher.start("bash", {"-c", script});
    ASSERT_TRUE(publisher.waitForFinished(60000));
    ASSERT_EQ(publisher.exitCode(), 0) << publisher.readAllStandardError().toStdString();

    // Version 1 of the client, with the updater in it and a file of the user's own.
    const QString inst = box.path("Corvalink Client");
    ASSERT_TRUE(writeProgram(inst + "/cv5client_linux_x86", "#!/bin/sh\necho 'Corvalink client 1'\n"));
    ASSERT_TRUE(writeProgram(inst + "/cv5client_runscript.sh", "#!/bin/sh\nexec ./cv5client_linux_x86\n"));
    ASSERT_TRUE(Sandbox::writeFile(inst + "/old.txt", "obsolete"));
    ASSERT_TRUE(Sandbox::writeFile(inst + "/oldplugins/sub/plugin.so", "old plugin"));
    ASSERT_TRUE(Sandbox::writeFile(inst + "/user notes.txt", "the user's"));
    ASSERT_TRUE(QFile::copy(CORVALINK_BINARY_DIR "/src/update", inst + "/update"));
    ASSERT_EQ(chmod(QFile::encodeName(inst + "/update").constData(), 0755), 0);

    NginxServer server;
    ASSERT_TRUE(server.start(box.path("server root"))) << server.errorText().toStdString();
    {
        // "Before going live", step 4: a trial run through the alpha channel.
        QSettings ini(inst + "/update.ini", QSettings::IniFormat);
        ini.setValue("Channel/alpha", server.baseUrl() + "updater-images/client/");
        ini.setValue("Channel/alphaRevno", 2);
    }
    ASSERT_TRUE(Sandbox::writeFile(box.tempDir() + "/cv5_update_log", QByteArray()));

    QProcess update;
    QProcessEnvironment runEnv = QProcessEnvironment::systemEnvironment(); // the sandbox's TMPDIR, HOME, ...
    runEnv.insert("QT_QPA_PLATFORM", "offscreen");
    runEnv.insert("LSAN_OPTIONS", "suppressions=" CORVALINK_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0");
    update.setProcessEnvironment(runEnv);
    update.setWorkingDirectory(inst);
    update.start(inst + "/update", QStringList());
    ASSERT_TRUE(update.waitForFinished(90000));
    EXPECT_EQ(update.exitCode(), 0);

    // Step one handed over to the new updater, which runs step two on its own: both logs end.
    const auto bothEnded = [&] {
        const QStringList logs = runLogs(box.tempDir());
        return logs.size() == 2 && logs[0].contains("Run ended:") && logs[1].contains("Run ended:");
    };
    ASSERT_TRUE(waitUntil(bothEnded, 90000)) << runLogs(box.tempDir()).join("\n----\n").toStdString();
    for (const QString &log : runLogs(box.tempDir()))
        EXPECT_TRUE(log.contains("Run ended: finished, exit code 0")) << log.toStdString();

    // Version 2 as the example describes it.
    EXPECT_EQ(Sandbox::readFile(inst + "/cv5client_linux_x86"), "#!/bin/sh\necho \"Corvalink client 2\"\n");
    EXPECT_EQ(Sandbox::readFile(inst + "/cv5client_runscript.sh"),
              "#!/bin/sh\ncd \"$(dirname \"$0\")\" && exec ./cv5client_linux_x86\n");
    EXPECT_EQ(Sandbox::readFile(inst + "/data/readme.txt"), "Read me: version 2\n");
    EXPECT_EQ(Sandbox::readFile(inst + "/lib/libcv5core.so"), QByteArray(100000, 'x'));
    EXPECT_EQ(Sandbox::readFile(inst + "/licence.txt"), "Licence of version 2\n");
    EXPECT_EQ(Sandbox::readFile(inst + "/prepared.txt"), "prepared for 2\n"); // the pre-install command ran
    EXPECT_TRUE(QFileInfo(inst + "/cv5client_linux_x86").isExecutable());
    EXPECT_FALSE(QFileInfo::exists(inst + "/old.txt"));
    EXPECT_FALSE(QFileInfo::exists(inst + "/oldplugins"));
    EXPECT_EQ(Sandbox::readFile(inst + "/user notes.txt"), "the user's");
}
