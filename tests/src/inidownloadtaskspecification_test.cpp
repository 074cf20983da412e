#include "inidownloadtaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "globals.h"
#include "maintaskspecification.h"
#include "rsakey.h"
#include "support/disanddiffwriter.h"
#include "support/httptestserver.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "support/signing.h"

#include "encodedprogram.h"
#include "lzmafile.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <memory>

namespace {

const int kVersion = 7;
const QByteArray kIni =
    "[bin]\na.dat=aa54def9e0bb11c1ebbfc97a9ee63af9e95c4fdf1d032b1ddcc0f21661f748651d2b2b8fb94e9ae041780554"
    "db29815daa1c0fe991ddae54eff0c4c28cd9d20c::3\n";

// A session directory, the update server and the product-ini task of one step.
class IniDownloadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!signing::hasDevelopmentKey())
            GTEST_SKIP() << "this build has no development key to sign with";
        RsaKey::initCrypto();
        ASSERT_TRUE(server.start());
        m_savedBaseUrl = updateBaseUrl;
        updateBaseUrl = server.baseUrl();
        manager.setProxy(QNetworkProxy::NoProxy);
        config.m_version = kVersion;
        config.m_clientUpdate = 1;
        config.m_tempDir = sandbox.path("session dir");
        config.m_installDir = sandbox.path("install dir");
        QDir().mkpath(config.m_tempDir);
        QDir().mkpath(config.m_installDir);
    }
    void TearDown() override
    {
        if (!m_savedBaseUrl.isNull())
            updateBaseUrl = m_savedBaseUrl;
    }

    QString local(const QString &name) const { return config.m_tempDir + "/" + name; }
    QString iniPath() const { return local(IniDownloadTaskSpecification::iniName(config)); }
    QString packedPath() const { return local(IniDownloadTaskSpecification::packedName(config)); }
    QString sigPath() const { return local(IniDownloadTaskSpecification::signatureName(config)); }
    QString remote(const QString &name) const { return QString("/%1/%2").arg(kVersion).arg(name); }
    QString remotePacked() const { return remote(IniDownloadTaskSpecification::packedName(config)); }
    QString remoteSig() const { return remote(IniDownloadTaskSpecification::signatureName(config)); }

    QByteArray pack(const QByteArray &plain)
    {
        const QString in = sandbox.path("pack/in");
        const QString out = sandbox.path("pack/out");
        EXPECT_TRUE(Sandbox::writeFile(in, plain));
        EXPECT_TRUE(
            corvapatch::CompressLzmaFile(QFile::encodeName(in).constData(), QFile::encodeName(out).constData()));
        return Sandbox::readFile(out);
    }
    // The server's two files: the packed ini and its signature.
    void publish(const QByteArray &ini, const QByteArray &signature)
    {
        server.setContent(remotePacked(), pack(ini));
        server.setContent(remoteSig(), signature);
    }

    // Runs one task to its end and records what it said.
    void run(IniDownloadTaskSpecification &task)
    {
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        messages.clear();
        auto connection =
            QObject::connect(&task, &TaskSpecification::message, [this](const QString &t) { messages << t; });
        task.execute();
        ASSERT_TRUE(waitForTaskEnd(&task, 30000));
        // A late second end would arrive from the event loop.
        QCoreApplication::processEvents();
        QObject::disconnect(connection);
        finishedCount = finished.count();
        canceledCount = canceled.count();
    }

    Sandbox sandbox;
    HttpTestServer server;
    QNetworkAccessManager manager;
    Configuration config;
    QStringList messages;
    int finishedCount = 0;
    int canceledCount = 0;

private:
    QString m_savedBaseUrl;
};

// What a sub-task is: "download <target>", "unpack <source> -> <target>", "check <file>", with its weight.
QStringList describePlan(const IniDownloadTaskSpecification &task, const QString &dir)
{
    QStringList plan;
    const auto rel = [&dir](const QString &path) { return QDir(dir).relativeFilePath(path); };
    for (TaskSpecification *t : task.allTasks()) {
        QString what;
        if (auto *d = qobject_cast<DownloadTaskSpecification *>(t))
            what = "download " + rel(d->targetFileName());
        else if (auto *u = qobject_cast<FileUnpackTaskSpecification_lzma2 *>(t))
            what = "unpack " + rel(u->source()) + " -> " + rel(u->target());
        else if (auto *c = qobject_cast<CheckSignatureTaskSpecification *>(t))
            what =
                "check " + rel(c->file()) + (c->expected().isEmpty() && c->cancelOnFailure() ? "" : " (not binding)");
        plan << QString("%1 %2").arg(what).arg(t->weight(), 0, 'f', 4);
    }
    return plan;
}

struct PlanCase
{
    const char *name;
    int clientUpdate;
    bool iniPresent;
    bool sigPresent;
    QStringList requests; // paths asked of the server, in order
    QStringList plan;
};

TEST_F(IniDownloadTest, FetchesOnlyWhatIsMissingAndVerifiesTheIni)
{
    const PlanCase cases[] = {
        {"step two, nothing present",
         1,
         false,
         false,
         {"/7/cv5_client_linux_x86.ini._lzma2_", "/7/cv5_client_linux_x86.ini.sig"},
         {"download cv5_client_linux_x86.ini._lzma2_ 0.3333",
          "unpack cv5_client_linux_x86.ini._lzma2_ -> cv5_client_linux_x86.ini 1.0000",
          "download cv5_client_linux_x86.ini.sig 0.3333", "check cv5_client_linux_x86.ini 0.3334"}},
        {"step one, nothing present",
         0,
         false,
         false,
         {"/7/update_linux_x86.ini._lzma2_", "/7/update_linux_x86.ini.sig"},
         {"download update_linux_x86.ini._lzma2_ 0.3333",
          "unpack update_linux_x86.ini._lzma2_ -> update_linux_x86.ini 1.0000",
          "download update_linux_x86.ini.sig 0.3333", "check update_linux_x86.ini 0.3334"}},
        {"signature present",
         1,
         false,
         true,
         {"/7/cv5_client_linux_x86.ini._lzma2_"},
         {"download cv5_client_linux_x86.ini._lzma2_ 0.3333",
          "unpack cv5_client_linux_x86.ini._lzma2_ -> cv5_client_linux_x86.ini 1.0000",
          "check cv5_client_linux_x86.ini 0.6667"}},
        {"ini present",
         1,
         true,
         false,
         {"/7/cv5_client_linux_x86.ini.sig"},
         {"download cv5_client_linux_x86.ini.sig 0.3333", "check cv5_client_linux_x86.ini 0.6667"}},
        {"both present", 1, true, true, {}, {"check cv5_client_linux_x86.ini 1.0000"}},
    };
    const QByteArray signature = signing::signData(kIni);
    for (const PlanCase &c : cases) {
        SCOPED_TRACE(c.name);
        config.m_clientUpdate = c.clientUpdate;
        for (const QString &path : {iniPath(), sigPath(), packedPath()})
            QFile::remove(path);
        if (c.iniPresent) {
            ASSERT_TRUE(Sandbox::writeFile(iniPath(), kIni));
        }
        if (c.sigPresent) {
            ASSERT_TRUE(Sandbox::writeFile(sigPath(), signature));
        }
        const int before = server.requests().size();
        publish(kIni, signature);

        IniDownloadTaskSpecification task(&manager, &config, nullptr, 0.1);
        run(task);
        EXPECT_EQ(task.state(), TASK_FINISHED);
        EXPECT_EQ(finishedCount, 1);
        EXPECT_EQ(canceledCount, 0);
        EXPECT_EQ(messages.value(0), "Download / check product ini");
        EXPECT_EQ(describePlan(task, config.m_tempDir), c.plan);
        QStringList requests;
        for (const auto &r : server.requests().mid(before))
            requests << r.path;
        EXPECT_EQ(requests, c.requests);
        EXPECT_EQ(Sandbox::readFile(iniPath()), kIni);
        EXPECT_EQ(Sandbox::readFile(sigPath()), signature);
    }
}

struct BadCheckCase
{
    const char *name;
    bool staleInSession; // a wrong ini and ".sig" from an earlier run lie in the session; else the server's are bad
};

// A check that fails removes the ini, its packed form and its ".sig": the next run fetches them afresh and,
// once the server has the right files, succeeds.
TEST_F(IniDownloadTest, FailedCheckCancelsAndTheNextRunFetchesAfresh)
{
    const BadCheckCase cases[] = {{"bad signature on the server", false}, {"stale files in the session", true}};
    for (const BadCheckCase &c : cases) {
        SCOPED_TRACE(c.name);
        for (const QString &path : {iniPath(), sigPath(), packedPath()})
            QFile::remove(path);
        if (c.staleInSession) {
            ASSERT_TRUE(Sandbox::writeFile(iniPath(), "[bin]\nold=1::1\n"));
            ASSERT_TRUE(Sandbox::writeFile(sigPath(), signing::signData(kIni)));
            publish(kIni, signing::signData(kIni));
        } else {
            publish(kIni, signing::signData("something else"));
        }

        IniDownloadTaskSpecification task(&manager, &config, nullptr, 0.1);
        run(task);
        EXPECT_EQ(task.state(), TASK_CANCELED);
        EXPECT_EQ(canceledCount, 1);
        EXPECT_EQ(finishedCount, 0);
        const QStringList expectedEnd = {"Signature check failed for " + iniPath(),
                                         "Could not verify the product ini file. Aborting"};
        EXPECT_EQ(messages.mid(messages.size() - 2), expectedEnd);
        EXPECT_FALSE(QFile::exists(iniPath()));
        EXPECT_FALSE(QFile::exists(packedPath()));
        EXPECT_FALSE(QFile::exists(sigPath()));

        // The server is fixed; the same task runs again after its reset.
        publish(kIni, signing::signData(kIni));
        const int packedRequests = server.requestCount(remotePacked());
        const int sigRequests = server.requestCount(remoteSig());
        task.reset();
        run(task);
        EXPECT_EQ(task.state(), TASK_FINISHED);
        EXPECT_EQ(finishedCount, 1);
        EXPECT_EQ(server.requestCount(remotePacked()), packedRequests + 1);
        EXPECT_EQ(server.requestCount(remoteSig()), sigRequests + 1);
        EXPECT_EQ(Sandbox::readFile(iniPath()), kIni);
    }
}

struct FetchFailureCase
{
    const char *name;
    QByteArray packed; // empty: the ini packed as it should be, and no ".sig" on the server
    QString lastMessage;
    int sigRequests;
};

// The ini in the executable form of the container: a program of its own bytes and a diff that keeps them.
QByteArray iniInTheExecutableForm(const QByteArray &ini)
{
    corvapatch::EncodedProgram program;
    EXPECT_TRUE(program.AppendCopy(uint32_t(ini.size()), reinterpret_cast<const uint8_t *>(ini.constData())));
    const std::vector<uint8_t> container = patchwriter::DisAndDiffContainer({&program}, {ini.begin(), ini.end()});
    EXPECT_FALSE(container.empty());
    return QByteArray(reinterpret_cast<const char *>(container.data()), int(container.size()));
}

TEST_F(IniDownloadTest, FailedFetchOrUnpackCancelsWithoutACheck)
{
    const QString packed = packedPath();
    const FetchFailureCase cases[] = {
        {"no .sig on the server", {}, "Unable to download cv5_client_linux_x86.ini.sig", 5},
        {"packed ini does not unpack", "not a container",
         QString("Could not unpack '%1' to '%2'").arg(packed, iniPath()), 0},
        // A text file never needs the executable form, so unsigned bytes do not reach the program decoder.
        {"packed ini in the executable form", iniInTheExecutableForm(kIni),
         QString("Could not unpack '%1' to '%2'").arg(packed, iniPath()), 0},
    };
    for (const FetchFailureCase &c : cases) {
        SCOPED_TRACE(c.name);
        for (const QString &path : {iniPath(), sigPath(), packedPath()})
            QFile::remove(path);
        server.setContent(remotePacked(), !c.packed.isEmpty() ? c.packed : pack(kIni));
        server.setContent(remoteSig(), signing::signData(kIni));
        if (c.packed.isEmpty())
            server.addFault(remoteSig(), HttpTestServer::Fault::withStatus(404), -1);
        const int sigBefore = server.requestCount(remoteSig());

        IniDownloadTaskSpecification task(&manager, &config, nullptr, 0.1);
        run(task);
        EXPECT_EQ(task.state(), TASK_CANCELED);
        EXPECT_EQ(canceledCount, 1);
        EXPECT_EQ(messages.value(messages.size() - 1), c.lastMessage);
        EXPECT_FALSE(messages.join("\n").contains("Signature check failed")) << "the check never ran";
        EXPECT_EQ(server.requestCount(remoteSig()) - sigBefore, c.sigRequests);
        EXPECT_FALSE(QFile::exists(sigPath()));
        server.clearFaults();
    }
}

// The main task's own product-ini and planning stages, alone in its pipeline: the plan comes from the ini
// just fetched and verified.
class IniAndPlanningMainTask : public MainTaskSpecification
{
public:
    using MainTaskSpecification::MainTaskSpecification;

protected:
    TaskSpecification *createTask(Stage stage, qreal weight) override
    {
        if (stage == Stage::ProductIni || stage == Stage::Planning)
            return MainTaskSpecification::createTask(stage, weight);
        return nullptr;
    }
};

TEST_F(IniDownloadTest, JoinsTheMainTasksPipelineBeforePlanning)
{
    struct Case
    {
        const char *name;
        QByteArray signedData;
        int endState;
        int downloads;
    };
    const Case cases[] = {{"valid", kIni, TASK_FINISHED, 1}, {"bad signature", "other", TASK_CANCELED, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (const QString &path : {iniPath(), sigPath(), packedPath()})
            QFile::remove(path);
        publish(kIni, signing::signData(c.signedData));
        IniAndPlanningMainTask task(&manager, &config, nullptr, 1.0);
        QStringList texts;
        QObject::connect(&task, &TaskSpecification::message, [&texts](const QString &t) { texts << t; });
        task.execute();
        ASSERT_TRUE(waitForTaskEnd(&task, 30000));
        EXPECT_EQ(task.state(), c.endState);
        ASSERT_EQ(task.allTasks().size(), 2);
        EXPECT_NE(qobject_cast<IniDownloadTaskSpecification *>(task.allTasks()[0]), nullptr);
        EXPECT_DOUBLE_EQ(task.allTasks()[0]->weight(), 0.1);
        EXPECT_EQ(task.updateData.downloads.size(), c.downloads);
        EXPECT_EQ(texts.contains("Compiling download and replace list for client"), c.endState == TASK_FINISHED);
    }
}

} // namespace
