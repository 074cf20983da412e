// An update from start to finish: the real "update" program, installed beside a version-1 client, updates it
// to version 2 from a real HTTP server (nginx on 127.0.0.1) and starts the client. Started as "update
// --clientupdate" it runs step two only; started as a user starts it, it first assembles the new updater in a
// session directory (step one) and hands over to it, which then runs step two.
#include "support/clientfixture.h"
#include "support/nginxserver.h"
#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/signing.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <gtest/gtest.h>

#include <QThread>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>

namespace {

// One installation, its update server and a run of the installed updater, all inside one sandbox.
class ClientUpdate
{
public:
    enum class Start {
        StepTwo, // "update --clientupdate"
        StepOne, // "update", as a user starts it; the server also holds the updater's package
    };

    // With linkElsewhere the directory that the update deletes holds a link to a directory outside.
    ClientUpdate(clientfixture::Options options, bool linkElsewhere, Start start = Start::StepTwo,
                 bool tamperUpdater = false)
        : m_options(std::move(options))
        , m_start(start)
    {
        m_options.startRecord = m_box.path("client started");
        m_options.commandRecord = m_box.path("commands run");
        if (linkElsewhere)
            m_options.linkTarget = m_box.path("elsewhere");
        m_updater.program = CORVALINK_BINARY_DIR "/src/update";
        m_updater.startRecord = m_box.path("updater started");
        m_updater.tamperUpdater = tamperUpdater;
    }

    // Lays out everything and starts the server; false (with the reason printed) when that fails.
    bool prepare()
    {
        if (!Sandbox::writeFile(m_box.path("elsewhere/keep"), "not the installation's") ||
            !Sandbox::writeFile(m_box.path("elsewhere/sub/deep"), "nor this") ||
            !clientfixture::writeUpdateTree(m_box.path("server"), m_options) ||
            !clientfixture::writeInstallation(m_box.path("expected"), m_options) ||
            !clientfixture::applyVersionTwo(m_box.path("expected"), m_options) ||
            (m_start == Start::StepOne && !clientfixture::writeUpdaterTree(m_box.path("server"), m_updater))) {
            ADD_FAILURE() << "fixture not written";
            return false;
        }
        // The installed updater's own translation, which step one hands on to the new updater.
        if (!clientfixture::writeUpdaterInstallation(m_box.path("expected")) ||
            !QFile::copy(CORVALINK_BINARY_DIR "/src/translations/update_de.qm",
                         m_box.path("expected") + "/translations/update_de.qm")) {
            ADD_FAILURE() << "translation not copied";
            return false;
        }
        if (!m_server.start(m_box.path("server"))) {
            ADD_FAILURE() << m_server.errorText().toStdString();
            return false;
        }
        return installVersionOne();
    }

    // A fresh installation of version 1 with the updater in it, and no session or log of an earlier run.
    bool installVersionOne()
    {
        QDir(installDir()).removeRecursively();
        for (const QString &dir : sessionDirs())
            QDir(m_box.tempDir() + "/" + dir).removeRecursively();
        QDir(m_box.tempDir() + "/corvalink_update_log").removeRecursively();
        if (!clientfixture::writeInstallation(installDir(), m_options) ||
            !clientfixture::writeUpdaterInstallation(installDir())) {
            ADD_FAILURE() << "installation not written";
            return false;
        }
        if (!QFile::copy(CORVALINK_BINARY_DIR "/src/translations/update_de.qm",
                         installDir() + "/translations/update_de.qm")) {
            ADD_FAILURE() << "translation not copied";
            return false;
        }
        // The program's own directory is its installation directory.
        const QString program = installDir() + "/update";
        if (!QFile::copy(CORVALINK_BINARY_DIR "/src/update", program) ||
            chmod(QFile::encodeName(program).constData(), 0755) != 0) {
            ADD_FAILURE() << "update not copied";
            return false;
        }
        // The alpha channel names the server's tree and the version; the user's settings in "update".
        QSettings ini(installDir() + "/update.ini", QSettings::IniFormat);
        ini.setValue("Channel/alpha", m_server.baseUrl() + clientfixture::kChannelPath);
        ini.setValue("Channel/alphaRevno", clientfixture::kVersion);
        ini.setValue("update/streams", 3);
        ini.sync();
        // The log is on, for the reader of a failure and for knowing when a cancelled run has ended.
        Sandbox::writeFile(m_box.tempDir() + "/cv5_update_log", QByteArray());
        m_before = installedTree();
        return ini.status() == QSettings::NoError;
    }

    // The server goes away (the next runs are offline) and comes back on another port, which the user's
    // channel then names.
    void stopServer() { m_server.stop(); }
    bool restartServer()
    {
        if (!m_server.start(m_box.path("server"))) {
            ADD_FAILURE() << m_server.errorText().toStdString();
            return false;
        }
        QSettings ini(installDir() + "/update.ini", QSettings::IniFormat);
        ini.setValue("Channel/alpha", m_server.baseUrl() + clientfixture::kChannelPath);
        ini.sync();
        return ini.status() == QSettings::NoError;
    }
    // Forgets how the previous run's new updater and client were started.
    void clearRunRecords()
    {
        for (const QString &record : {m_updater.startRecord, m_updater.startRecord + ".exit", m_options.startRecord})
            QFile::remove(record);
    }
    // The process id of the new updater's program (step two) running from a session directory of this
    // sandbox, and that directory; 0 when there is none.
    qint64 stepTwoProcess(QString *sessionDir) const
    {
        const QString temp = QDir(m_box.tempDir()).canonicalPath();
        for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
            bool ok = false;
            const qint64 pid = entry.toLongLong(&ok);
            if (!ok)
                continue;
            // Once its clean-up has removed the session directory, the link reads "... (deleted)".
            QString program = QFile::symLinkTarget("/proc/" + entry + "/exe");
            if (program.endsWith(" (deleted)"))
                program.chop(int(qstrlen(" (deleted)")));
            if (program.startsWith(temp + "/corvalink_temp_") && program.endsWith("/update.bin")) {
                *sessionDir = QFileInfo(program).path();
                return pid;
            }
        }
        return 0;
    }
    QString stepTwoLog() const
    {
        const QDir dir(m_box.tempDir() + "/corvalink_update_log");
        QString text;
        for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
            const QString log = QString::fromUtf8(Sandbox::readFile(dir.filePath(name)));
            if (log.contains("--clientupdate"))
                text += log;
        }
        return text;
    }

    // Starts another run of the installed updater as the user starts it, beside the one of start().
    void startAnother(QProcess &process) const
    {
        process.setProcessEnvironment(m_process.processEnvironment());
        process.setWorkingDirectory(installDir());
        process.start(installDir() + "/update", QStringList());
        ASSERT_TRUE(process.waitForStarted(30000));
    }

    void start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment(); // the sandbox's TMPDIR, HOME, ...
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("LSAN_OPTIONS", "suppressions=" CORVALINK_SOURCE_DIR "/tests/lsan.supp:print_suppressions=0");
        m_process.setProcessEnvironment(env);
        m_process.setWorkingDirectory(installDir());
        m_process.start(installDir() + "/update",
                        m_start == Start::StepTwo ? QStringList {"--clientupdate"} : QStringList());
        ASSERT_TRUE(m_process.waitForStarted(30000));
    }

    // Step one continues a session whose directory holds a directory named "update.ini", so the new updater's
    // session record cannot be written there. Call after prepare().
    bool blockSessionIni()
    {
        const QString session = m_box.tempDir() + "/corvalink_temp_5";
        QSettings ini(installDir() + "/update.ini", QSettings::IniFormat);
        ini.setValue("current/version", clientfixture::kVersion);
        ini.setValue("current/dir", session);
        ini.setValue("current/cv5dir", installDir());
        ini.setValue("current/type", "update_linux_x86");
        ini.sync();
        return QDir().mkpath(session + "/update.ini/blocked") && ini.status() == QSettings::NoError;
    }

    // A finished update ends the program, which then starts the client.
    void waitForExit()
    {
        const bool ended = m_process.waitForFinished(120000);
        EXPECT_TRUE(ended) << "update did not end\n" << log().toStdString();
        EXPECT_EQ(m_process.exitStatus(), QProcess::NormalExit);
    }

    // A cancelled update keeps its window open (with the message box): wait for the engine to report the
    // cancel, then end the program.
    void waitForCancelAndStop(const QString &line = "Update canceled")
    {
        EXPECT_TRUE(waitUntil([this, line] { return log().contains(line); }, 120000)) << log().toStdString();
        m_process.kill();
        m_process.waitForFinished(30000);
    }

    // How the new updater was started and how its program ended, from the records of its "update" script.
    struct UpdaterRun
    {
        QStringList started; // working directory, mode, translations, argument count, arguments
        QString exitCode;
    };
    UpdaterRun waitForUpdaterRun() const
    {
        const QString record = m_updater.startRecord;
        EXPECT_TRUE(waitUntil([&record] { return QFile::exists(record + ".exit"); }, 120000)) << log().toStdString();
        QStringList started = QString::fromUtf8(Sandbox::readFile(record)).split('\n');
        if (!started.isEmpty() && started.last().isEmpty())
            started.removeLast();
        return {started, QString::fromUtf8(Sandbox::readFile(record + ".exit")).trimmed()};
    }
    bool updaterStarted() const { return QFile::exists(m_updater.startRecord); }

    QString installDir() const { return m_box.path("Corvalink Client"); }
    QString log() const
    {
        QString text;
        const QDir dir(m_box.tempDir() + "/corvalink_update_log");
        for (const QString &name : dir.entryList(QDir::Files, QDir::Name))
            text += QString::fromUtf8(Sandbox::readFile(dir.filePath(name)));
        return text;
    }
    // The installation without the updater itself and its "update.ini".
    TreeSnapshot installedTree() const
    {
        TreeSnapshot tree = snapshotTree(installDir());
        tree.erase("update");
        tree.erase("update.ini");
        return tree;
    }
    TreeSnapshot expectedTree() const { return snapshotTree(m_box.path("expected")); }
    const TreeSnapshot &treeBefore() const { return m_before; }
    QStringList sessionDirs() const
    {
        return QDir(m_box.tempDir()).entryList({"corvalink_temp_*"}, QDir::AllEntries | QDir::Hidden);
    }
    QString startRecord() const { return m_options.startRecord; }
    // What the install commands noted, one line each, in the order they wrote it.
    QStringList commandRecord() const
    {
        return QString::fromUtf8(Sandbox::readFile(m_options.commandRecord)).split('\n', Qt::SkipEmptyParts);
    }
    const clientfixture::Options &options() const { return m_options; }
    QProcess &process() { return m_process; }
    int exitCode() const { return m_process.exitCode(); }
    QByteArray standardError() { return m_process.readAllStandardError(); }
    // The log's lines, without the level and time columns.
    QStringList logMessages() const
    {
        QStringList messages;
        for (const QString &line : log().split('\n', Qt::SkipEmptyParts))
            messages << line.section("\t|\t", 2);
        return messages;
    }
    QString path(const QString &relative) const { return m_box.path(relative); }

private:
    Sandbox m_box;
    clientfixture::Options m_options;
    Start m_start;
    clientfixture::UpdaterOptions m_updater;
    NginxServer m_server;
    QProcess m_process;
    TreeSnapshot m_before;
};

} // namespace

TEST(ClientUpdate, BringsTheInstallationToVersionTwoOrLeavesItAsItWas)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "this build has no development key to sign the product ini with";
    struct Case
    {
        const char *name;
        clientfixture::Options options;
        bool linkElsewhere;
        bool succeeds;
        const char *logLine; // a line the run must have logged
        bool preInstallRuns;
        bool postInstallRuns;
    };
    clientfixture::Options tamperWhole;
    tamperWhole.tamperWholeFile = true;
    clientfixture::Options breakPacked;
    breakPacked.breakPackedFile = true;
    clientfixture::Options bySignature;
    bySignature.runScriptBySignature = true;
    clientfixture::Options substituted = bySignature;
    substituted.substituteRunScript = true;
    clientfixture::Options resultsBySignature;
    resultsBySignature.packedBySignature = true;
    clientfixture::Options resultSignaturesMissing = resultsBySignature;
    resultSignaturesMissing.resultSignaturesMissing = true;
    const Case cases[] = {
        {"plain installation", {}, false, true, "Remove replaced file", true, true},
        {"packed and patched results known by their signatures only", resultsBySignature, false, true,
         "Queueing download of signature:", true, true},
        {"packed results without a final digest or a signature", resultSignaturesMissing, false, false,
         "Unable to download", false, false},
        {"a link to elsewhere inside the deleted directory", {}, true, true, "Remove replaced file", true, true},
        {"a replacement that fails half-way", breakPacked, false, false, "rolling back file updates", true, false},
        {"a whole file tampered with on the server", tamperWhole, false, false, "SHA-512 mismatch for", false, false},
        {"a run script known by its signature only", bySignature, false, true, "RSA check true", true, true},
        {"a run script without a digest, substituted on the way", substituted, false, false,
         "Signature check failed for", false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ClientUpdate update(c.options, c.linkElsewhere);
        ASSERT_TRUE(update.prepare());
        const TreeSnapshot elsewhere = snapshotTree(update.path("elsewhere"));
        update.start();

        if (c.succeeds) {
            update.waitForExit();
            EXPECT_EQ(update.exitCode(), 0) << update.log().toStdString();
            EXPECT_EQ(update.standardError().toStdString(), "");
            // The log says what was installed, and its last line how the run ended.
            const QStringList messages = update.logMessages();
            EXPECT_TRUE(messages.contains(
                QString("Installed the files of version %1's product ini").arg(clientfixture::kVersion)))
                << update.log().toStdString();
            ASSERT_FALSE(messages.isEmpty());
            EXPECT_EQ(messages.last(), "Run ended: finished, exit code 0");
            EXPECT_EQ(update.installedTree(), update.expectedTree()) << update.log().toStdString();
            // The data file and the ELF library came as patches against the installed files.
            for (const char *patched : {"data/catalog.dat", "plugins/libcv5filter.so"})
                EXPECT_TRUE(messages.contains(QString("Shown: Patching %1").arg(patched))) << update.log().toStdString();
            EXPECT_EQ(update.log().count("Patch result true"), 2);
            // The session is gone; the user's groups stay.
            QSettings ini(update.installDir() + "/update.ini", QSettings::IniFormat);
            EXPECT_EQ(ini.childGroups(), (QStringList {"Channel", "update"}));
            EXPECT_EQ(update.sessionDirs(), QStringList());
            // The new run script ran in the installation directory, with no arguments.
            ASSERT_TRUE(waitUntil([&update] { return QFile::exists(update.startRecord()); }, 30000));
            EXPECT_EQ(QString::fromUtf8(Sandbox::readFile(update.startRecord())), update.installDir() + "\n0\n");
        } else {
            update.waitForCancelAndStop();
            // Every installed file as it was, byte for byte and mode for mode; the client was not started.
            EXPECT_EQ(update.installedTree(), update.treeBefore());
            EXPECT_FALSE(QFile::exists(update.startRecord()));
        }
        EXPECT_TRUE(update.log().contains(c.logLine)) << update.log().toStdString();
        // The pre-install command ran before the replacement, the post-install command after it; each got
        // its arguments with the installation directory filled in and "--" in front.
        const QString dir = update.installDir();
        QStringList commands;
        if (c.preInstallRuns)
            commands += QStringList {"pre 2", "--" + dir, "--second arg", "version 1"};
        if (c.postInstallRuns)
            commands += QStringList {"post 2", "--" + dir, "--" + dir + "/data", "version 2"};
        EXPECT_EQ(update.commandRecord(), commands) << update.log().toStdString();
        EXPECT_EQ(snapshotTree(update.path("elsewhere")), elsewhere);
        EXPECT_FALSE(QFile::exists(update.path("home/owned"))); // nothing from the man in the middle ran
    }
}

// Replacement and deletion are one transaction: a deletion that fails after every file was replaced brings
// back version 1 entirely, and once the cause is gone the next run finishes.
TEST(ClientUpdate, AFailingDeletionUndoesTheReplacementAndALaterRunFinishes)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "this build has no development key to sign the product ini with";
    clientfixture::Options options;
    options.blockedDeletion = true;
    ClientUpdate update(options, false);
    ASSERT_TRUE(update.prepare());

    update.start();
    update.waitForCancelAndStop();
    EXPECT_TRUE(update.log().contains("Could not delete")) << update.log().toStdString();
    EXPECT_EQ(update.installedTree(), update.treeBefore()) << update.log().toStdString();
    EXPECT_FALSE(QFile::exists(update.startRecord()));

    // The user removes what blocked the deletion; the same session goes on.
    ASSERT_TRUE(QFile::remove(update.installDir() + "/olddata/left-over.txt"));
    update.start();
    update.waitForExit();
    EXPECT_EQ(update.exitCode(), 0) << update.log().toStdString();
    EXPECT_EQ(update.installedTree(), update.expectedTree()) << update.log().toStdString();
    EXPECT_EQ(update.sessionDirs(), QStringList());
}

namespace {

// The last step of the run that its log shows.
QString phaseOf(const QString &log)
{
    const QList<QPair<const char *, const char *>> markers = {
        {"Removing temporary files", "clean-up"},
        {"Remove replaced file", "commit"},
        {"Remove deleted path", "commit"},
        {"Deleted file", "deletion"},
        {"FileReplaceTaskSpecification: spec:", "replacement"},
        {"Requesting download of", "downloads"},
    };
    for (const auto &m : markers) {
        if (log.contains(m.first))
            return m.second;
    }
    return "start";
}

int envNumber(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

} // namespace

// kill -9 at random moments of a client update of a few hundred files: right after each kill every installed
// name of version 1 or 2 holds the bytes of one of them (none is missing), and the next run finishes exactly at
// version 2 with no hidden residue and no session left. CORVALINK_KILLS and CORVALINK_KILL_SEED choose how
// many kills and the seed (scripts/killtest.sh runs many).
TEST(ClientUpdate, KilledAtAnyMomentEveryFileIsWholeAndTheNextRunFinishes)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "this build has no development key to sign the product ini with";
    const int kills = envNumber("CORVALINK_KILLS", 10);
    const quint32 seed = quint32(envNumber("CORVALINK_KILL_SEED", 20261210));
    std::printf("kill test: seed %u, %d kills\n", seed, kills);
    QRandomGenerator random(seed);

    clientfixture::Options options;
    options.bulkFiles = 300;
    ClientUpdate update(options, false);
    ASSERT_TRUE(update.prepare());
    const QList<clientfixture::Versions> files = clientfixture::installedFiles(update.options());

    // One run without a kill gives the span over which the kills are spread.
    QElapsedTimer clock;
    clock.start();
    update.start();
    update.waitForExit();
    const qint64 span = clock.elapsed();
    std::printf("kill test: a whole run takes %lld ms\n", static_cast<long long>(span));
    ASSERT_EQ(update.installedTree(), update.expectedTree()) << update.log().toStdString();

    std::map<QString, int> phases;
    int failures = 0;
    for (int k = 0; k < kills && failures < 3; ++k) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(update.installVersionOne());
        // The window starts the update 2000 ms after start-up; the kill comes anywhere from shortly before
        // that to the end of a whole run.
        const int delay = 1500 + int(random.bounded(quint32(qMax<qint64>(1, span - 1500))));
        update.start();
        if (update.process().waitForFinished(delay)) {
            ++phases["finished-before-kill"];
        } else {
            update.process().kill();
            update.process().waitForFinished(30000);
            ++phases[phaseOf(update.log())];
        }

        QStringList broken;
        for (const clientfixture::Versions &f : files) {
            const QString path = update.installDir() + "/" + f.path;
            if (!QFileInfo::exists(path)) {
                if (f.inOne && f.inTwo)
                    broken << f.path + " is missing";
                continue;
            }
            const QByteArray bytes = Sandbox::readFile(path);
            if (!(f.inOne && bytes == f.one) && !(f.inTwo && bytes == f.two))
                broken << f.path + " holds bytes of neither version";
        }
        EXPECT_EQ(broken, QStringList()) << "killed after " << delay << " ms\n" << update.log().toStdString();

        update.start();
        update.waitForExit();
        const bool finished = update.exitCode() == 0 && update.installedTree() == update.expectedTree() &&
            update.sessionDirs().isEmpty();
        EXPECT_EQ(update.exitCode(), 0);
        EXPECT_EQ(update.installedTree(), update.expectedTree()) << "killed after " << delay << " ms\n"
                                                                 << update.log().toStdString();
        EXPECT_EQ(update.sessionDirs(), QStringList());
        if (!broken.isEmpty() || !finished)
            ++failures;
    }
    std::printf("kill test counts:");
    for (const auto &p : phases)
        std::printf(" %s=%d", p.first.toUtf8().constData(), p.second);
    std::printf(" failures=%d\n", failures);
}

// kill -9 of step two as users run it (step one started from the installation hands over to the new updater
// in the session directory), timed inside its replacement, deletion or commit. The next run the user starts is
// step one again: offline it leaves the installation exactly at version 1 or 2 with no hidden file and the
// killed session gone; online it finishes at version 2, starts the client and leaves no session behind.
// CORVALINK_KILLS and CORVALINK_KILL_SEED choose how many kills and the seed (scripts/killtest.sh runs many).
TEST(ClientUpdate, KilledStepTwoIsSettledByTheNextRunWithOrWithoutTheServer)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "this build has no development key to sign the product inis with";
    const int kills = envNumber("CORVALINK_KILLS", 10);
    const quint32 seed = quint32(envNumber("CORVALINK_KILL_SEED", 20261211));
    std::printf("kill test: seed %u, %d kills of step two\n", seed, kills);
    QRandomGenerator random(seed);

    clientfixture::Options options;
    options.bulkFiles = 200;
    ClientUpdate update(options, false, ClientUpdate::Start::StepOne);
    ASSERT_TRUE(update.prepare());
    const TreeSnapshot versionOne = update.treeBefore();

    // Step two's log lines that open each stage, and how long after them the kill may come.
    struct Stage
    {
        const char *name;
        const char *marker;
        quint32 maxDelayMs;
    };
    const Stage stages[] = {
        {"replacement", "FileReplaceTaskSpecification: spec:", 1500},
        {"deletion", "Starting deleting files", 40},
        {"commit", "Remove replaced file", 20},
    };
    std::map<QString, int> counts;
    int failures = 0;
    for (int k = 0; k < kills && failures < 3; ++k) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(update.installVersionOne());
        update.clearRunRecords();
        const Stage &stage = stages[random.bounded(3)];
        const quint32 delay = random.bounded(stage.maxDelayMs);

        update.start();
        QString session;
        qint64 pid = 0;
        const bool reached = waitUntil(
            [&] {
                pid = update.stepTwoProcess(&session);
                return (pid != 0 && update.stepTwoLog().contains(stage.marker)) ||
                    QFile::exists(update.path("updater started.exit"));
            },
            120000);
        ASSERT_TRUE(reached) << update.log().toStdString();
        QThread::msleep(delay);
        pid = update.stepTwoProcess(&session);
        if (pid == 0) {
            ++counts["finished-before-kill"];
            ASSERT_TRUE(waitUntil([&] { return QFile::exists(update.path("updater started.exit")); }, 30000));
        } else {
            ::kill(pid_t(pid), SIGKILL);
            ASSERT_TRUE(waitUntil([&] { return QFile::exists(update.path("updater started.exit")); }, 30000));
            ++counts[QString(stage.name) + "/" + phaseOf(update.stepTwoLog())];
        }
        update.process().waitForFinished(30000);
        const QString killedLog = update.stepTwoLog();

        // Offline: the run settles the killed session before it asks the server for anything.
        update.stopServer();
        update.start();
        update.waitForCancelAndStop();
        const TreeSnapshot offline = update.installedTree();
        const bool whole = offline == versionOne || offline == update.expectedTree();
        EXPECT_TRUE(whole) << "stage " << stage.name << " + " << delay << " ms\n"
                           << ::testing::PrintToString(offline) << "\n" << killedLog.toStdString();
        EXPECT_FALSE(!session.isEmpty() && QFileInfo::exists(session))
            << "stage " << stage.name << " + " << delay << " ms: " << session.toStdString() << " left holding "
            << QDir(session).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).join(", ").toStdString()
            << "\n" << update.log().toStdString();

        // Online: the same version, from start to finish.
        ASSERT_TRUE(update.restartServer());
        update.clearRunRecords();
        update.start();
        update.waitForExit();
        const ClientUpdate::UpdaterRun run = update.waitForUpdaterRun();
        const bool clientStarted = waitUntil([&update] { return QFile::exists(update.startRecord()); }, 30000);
        const bool finished = update.exitCode() == 0 && run.exitCode == "0" &&
            update.installedTree() == update.expectedTree() && update.sessionDirs().isEmpty() && clientStarted;
        EXPECT_TRUE(finished) << "exit " << update.exitCode() << ", step two " << run.exitCode.toStdString()
                              << ", sessions " << update.sessionDirs().join(' ').toStdString() << "\n"
                              << update.log().toStdString();
        EXPECT_EQ(update.installedTree(), update.expectedTree());
        if (!whole || !finished)
            ++failures;
    }
    std::printf("kill test counts:");
    for (const auto &c : counts)
        std::printf(" %s=%d", c.first.toUtf8().constData(), c.second);
    std::printf(" failures=%d\n", failures);
}

// A second start while an update runs: it ends at once with 0 and never reaches the first run's session, also
// when another local user has planted the names a guard in the shared temporary directory would use, and
// when both start at the same moment (before the first one's window listens).
TEST(ClientUpdate, ASecondRunBesideTheFirstEndsWithoutTouchingIt)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "this build has no development key to sign the product inis with";
    struct Case
    {
        const char *name;
        int delayMs;
        bool squat;
    };
    const Case cases[] = {
        {"1 s later, with the shared guard names taken by another user", 1000, true},
        {"at the same moment", 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ClientUpdate update(clientfixture::Options(), false, ClientUpdate::Start::StepOne);
        ASSERT_TRUE(update.prepare());
        if (c.squat) {
            // A temporary directory shared as /tmp is; "nobody" takes the names there first.
            const QString temp = update.path("tmp");
            ASSERT_EQ(chmod(QFile::encodeName(update.path("")).constData(), 0711), 0);
            ASSERT_EQ(chmod(QFile::encodeName(temp).constData(), 01777), 0);
            for (const QString &name : {QString("cv5_update_guard_%1").arg(geteuid()), QString("cv5_update_guard")}) {
                QProcess squatter;
                squatter.start("runuser", {"-u", "nobody", "--", "mkdir", "-m", "0777", temp + "/" + name});
                ASSERT_TRUE(squatter.waitForFinished(30000));
                ASSERT_EQ(squatter.exitCode(), 0) << squatter.readAllStandardError().toStdString();
            }
        }
        update.start();
        QThread::msleep(c.delayMs);
        QProcess second;
        update.startAnother(second);
        ASSERT_TRUE(second.waitForFinished(60000));
        EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(second.exitCode(), 0);

        update.waitForExit();
        EXPECT_EQ(update.exitCode(), 0) << update.log().toStdString();
        const ClientUpdate::UpdaterRun run = update.waitForUpdaterRun();
        EXPECT_EQ(run.exitCode, "0") << update.log().toStdString();
        EXPECT_EQ(update.installedTree(), update.expectedTree()) << update.log().toStdString();
        EXPECT_EQ(update.sessionDirs(), QStringList());
        // The second run ended before its window existed: had it got so far, its start would have failed on the
        // lock with a box, and it would still be open. (Two runs started in the same second share a log name,
        // and the later one's log replaces the other's, so only the later start shows its line.)
        if (c.delayMs >= 1000) {
            EXPECT_TRUE(update.log().contains("Detected other instance running, aborting")) << update.log().toStdString();
        }
    }
}

TEST(ClientUpdate, BothStepsRunFromTheInstalledUpdaterOrStopBeforeTheHandOver)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "this build has no development key to sign the product inis with";
    struct Case
    {
        const char *name;
        bool tamperUpdater;
        bool blockSessionIni;
        bool succeeds;
        const char *logLine; // a line the run must have logged
    };
    const Case cases[] = {
        {"the new updater runs step two", false, false, true, "onStartNewUpdater"},
        {"the new updater unpacks to other bytes than the product ini says", true, false, false,
         "Signature check failed for"},
        {"the new updater's session record cannot be written", false, true, false, "Failed to write temp update.ini"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ClientUpdate update(clientfixture::Options(), false, ClientUpdate::Start::StepOne, c.tamperUpdater);
        ASSERT_TRUE(update.prepare());
        if (c.blockSessionIni) {
            ASSERT_TRUE(update.blockSessionIni());
        }
        update.start();

        if (c.succeeds) {
            update.waitForExit();
            EXPECT_EQ(update.exitCode(), 0) << update.log().toStdString();
            // The new updater ran in the session directory, made executable (0755) and with the installed
            // updater's translation beside it, with the client's package type, the version and no version
            // string; its program, step two, ended with 0.
            const ClientUpdate::UpdaterRun run = update.waitForUpdaterRun();
            const QString session = QDir(update.path("tmp")).canonicalPath() + "/corvalink_temp_0";
            EXPECT_EQ(
                run.started,
                (QStringList {session, "755", "update_de.qm", "4", "--clientupdate", "client_linux_x86", "2", "#"}));
            EXPECT_EQ(run.exitCode, "0") << update.log().toStdString();
            // Step one made two of the new updater's files from patches against the installed ones.
            for (const char *patched : {"update-readme.txt", "lib/libupdatefilter.so"})
                EXPECT_TRUE(update.log().contains(QString("Patching %1").arg(patched))) << update.log().toStdString();
            EXPECT_EQ(update.installedTree(), update.expectedTree()) << update.log().toStdString();
            QSettings ini(update.installDir() + "/update.ini", QSettings::IniFormat);
            EXPECT_EQ(ini.childGroups(), (QStringList {"Channel", "update"}));
            EXPECT_EQ(update.sessionDirs(), QStringList());
            ASSERT_TRUE(waitUntil([&update] { return QFile::exists(update.startRecord()); }, 30000));
            EXPECT_EQ(QString::fromUtf8(Sandbox::readFile(update.startRecord())), update.installDir() + "\n0\n");
        } else {
            // A failed check ends the run ("Update canceled"); the session record's write failure is shown in a
            // box that holds the run there, before any hand-over could happen.
            update.waitForCancelAndStop(c.blockSessionIni ? "Failed to write temp update.ini" : "Update canceled");
            EXPECT_EQ(update.installedTree(), update.treeBefore());
            EXPECT_FALSE(update.updaterStarted());
            EXPECT_FALSE(update.log().contains("Update successfully finished")) << update.log().toStdString();
            EXPECT_FALSE(update.log().contains("User aborted update"));
            EXPECT_FALSE(QFile::exists(update.startRecord()));
            // The swapped script never got the new updater's name.
            if (c.tamperUpdater) {
                EXPECT_EQ(update.sessionDirs(), QStringList {"corvalink_temp_0"});
                EXPECT_FALSE(QFileInfo::exists(update.path("tmp/corvalink_temp_0/update")));
            }
        }
        EXPECT_TRUE(update.log().contains(c.logLine)) << update.log().toStdString();
    }
}
