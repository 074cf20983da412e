#include "downloadfilelisttaskspecification.h"

#include "configuration.h"
#include "downloadtaskspecification.h"
#include "globals.h"
#include "support/appdirini.h"
#include "support/httptestserver.h"
#include "support/qtprinters.h"
#include "support/sandbox.h"
#include "support/signing.h"
#include "updateengine.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QPointer>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <gtest/gtest.h>

namespace {

using Fault = HttpTestServer::Fault;

// SHA-512 of "abc" (the standard test vector).
const char kAbcSha512[] = "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                          "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";

// Digests of generated fixture contents (Qt's SHA-512; the code under test only compares digests).
QString sha512Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

QByteArray contentOf(const QString &name, int size)
{
    QByteArray data = name.toUtf8();
    while (data.size() < size)
        data += data;
    return data.left(size);
}

struct Recorder
{
    explicit Recorder(TaskSpecification *task)
        : finished(task, &TaskSpecification::finished)
        , canceled(task, &TaskSpecification::canceled)
    {
        QObject::connect(task, &TaskSpecification::message, [this](const QString &t) {
            messages << t;
            if (t.startsWith("Downloading ") && t != "Downloading files") {
                inFlight += t.endsWith(" finished") ? -1 : 1;
                maxInFlight = qMax(maxInFlight, inFlight);
            }
        });
    }
    bool ended() const { return finished.count() + canceled.count() > 0; }
    bool waitForEnd()
    {
        return QTest::qWaitFor([this] { return ended(); }, 60000);
    }
    int count(const QString &text) const { return messages.count(text); }
    int countStarting(const QString &prefix) const
    {
        int n = 0;
        for (const QString &m : messages)
            n += m.startsWith(prefix) ? 1 : 0;
        return n;
    }

    QSignalSpy finished;
    QSignalSpy canceled;
    QStringList messages;
    int inFlight = 0; // downloads started and not yet finished
    int maxInFlight = 0;
};

class DownloadListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start());
        m_savedBaseUrl = updateBaseUrl;
        updateBaseUrl = server.baseUrl();
        manager.setProxy(QNetworkProxy::NoProxy);
        dir = sandbox.path("session");
        QDir().mkpath(dir);
        config.m_tempDir = dir;
        config.m_version = 7;
        config.m_streams = 6;
    }
    void TearDown() override { updateBaseUrl = m_savedBaseUrl; }

    // An entry of section "sec" whose content the server holds, with its right digest.
    DownloadEntry addFile(const QString &name, const QByteArray &content)
    {
        server.setContent("/7/sec/" + name, content);
        return DownloadEntry {"sec", name, sha512Of(content), quint64(content.size())};
    }
    DownloadEntry addFile(const QString &name, int size = 64) { return addFile(name, contentOf(name, size)); }

    // Every file below the temporary directory, relative to it, sorted.
    QStringList tree() const
    {
        QStringList files;
        QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << QDir(dir).relativeFilePath(it.next());
        files.sort();
        return files;
    }

    Sandbox sandbox;
    HttpTestServer server;
    QNetworkAccessManager manager;
    Configuration config;
    QString dir;

private:
    QString m_savedBaseUrl;
};

} // namespace

TEST_F(DownloadListTest, EmptyListFinishesAtOnce)
{
    QList<DownloadEntry> downloads;
    DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 0.4);
    Recorder rec(&list);
    list.execute();
    EXPECT_EQ(list.state(), TASK_FINISHED);
    EXPECT_EQ(rec.finished.count(), 1);
    EXPECT_EQ(rec.messages, QStringList {"No downloads needed"});
    EXPECT_EQ(tree(), QStringList());
}

TEST_F(DownloadListTest, FetchesEveryFileIntoItsDirectoryBelowTheTemporaryDirectory)
{
    // This time the server's tree is a directory.
    const QString www = sandbox.path("www");
    server.serveDirectory(www);
    QList<DownloadEntry> downloads;
    for (const auto &[name, size] :
         {std::pair<QString, int> {"x/a.dat", 64}, {"x/b.dat", 64}, {"c.dat", 64}, {"deep/er/d.dat", 5000}}) {
        const QByteArray content = contentOf(name, size);
        ASSERT_TRUE(Sandbox::writeFile(www + "/7/sec/" + name, content));
        downloads << DownloadEntry {"sec", name, sha512Of(content), quint64(size)};
    }
    DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 0.4);
    Recorder rec(&list);
    list.execute();
    ASSERT_TRUE(rec.waitForEnd()) << server.log().toStdString();

    EXPECT_EQ(list.state(), TASK_FINISHED);
    EXPECT_EQ(rec.messages.value(0), "Downloading files");
    EXPECT_EQ(rec.count("Downloading sec/deep/er/d.dat finished"), 1);
    EXPECT_EQ(tree(), (QStringList {"c.dat", "deep", "deep/er", "deep/er/d.dat", "x", "x/a.dat", "x/b.dat"}));
    for (const DownloadEntry &e : downloads) {
        SCOPED_TRACE(e.name.toStdString());
        EXPECT_EQ(sha512Of(Sandbox::readFile(dir + "/" + e.name)), e.sha512);
        EXPECT_EQ(server.requestCount("/7/sec/" + e.name), 1);
    }
    EXPECT_DOUBLE_EQ(list.progress(), 0.4);
}

// Six bodies of a few MiB at once, each many pieces long and different at every offset: each piece Qt hands
// over lands in its own file, in order. The digest check alone would hide a mixed body behind a retry, so the
// bytes and the requests are counted too.
TEST_F(DownloadListTest, LargeFilesAtOnceArriveWholeAndUnmixed)
{
    QList<DownloadEntry> downloads;
    QList<QByteArray> contents;
    for (int i = 0; i < 6; ++i) {
        QByteArray content(3 * 1024 * 1024 + 1000 * i, Qt::Uninitialized);
        quint32 x = 0x9e3779b9u * quint32(i + 1);
        for (char &c : content) {
            x = x * 1664525u + 1013904223u;
            c = char(x >> 24);
        }
        contents << content;
        downloads << addFile(QString("big%1.dat").arg(i), content);
    }
    DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 1.0);
    Recorder rec(&list);
    list.execute();
    ASSERT_TRUE(rec.waitForEnd()) << server.log().toStdString();

    EXPECT_EQ(list.state(), TASK_FINISHED);
    EXPECT_EQ(rec.maxInFlight, 6);
    for (int i = 0; i < 6; ++i) {
        const QString name = QString("big%1.dat").arg(i);
        SCOPED_TRACE(name.toStdString());
        EXPECT_TRUE(Sandbox::readFile(dir + "/" + name) == contents[i]);
        EXPECT_EQ(server.requestCount("/7/sec/" + name), 1);
    }
}

TEST_F(DownloadListTest, DirectoryThatCannotBeCreatedCancelsBeforeAnyDownload)
{
    ASSERT_TRUE(Sandbox::writeFile(dir + "/x", "a file where a directory is needed"));
    QList<DownloadEntry> downloads {addFile("a/1.dat"), addFile("x/2.dat"), addFile("b/3.dat")};
    DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 0.4);
    Recorder rec(&list);
    list.execute();
    EXPECT_EQ(list.state(), TASK_CANCELED);
    EXPECT_EQ(rec.canceled.count(), 1);
    EXPECT_EQ(rec.messages, QStringList {"Could not create dir " + QDir(dir).canonicalPath() + "/x"});
    EXPECT_EQ(tree(), (QStringList {"a", "x"})); // what was made before stays
    QCoreApplication::processEvents();
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(DownloadListTest, RunsAtMostStreamsDownloadsAndNeverMoreThanSix)
{
    struct Case
    {
        int streams;
        int started;
    };
    const Case cases[] = {{1, 1}, {4, 4}, {6, 6}, {10, 6}, {0, 6}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.streams);
        HttpTestServer silent; // answers the header, then nothing
        ASSERT_TRUE(silent.start());
        updateBaseUrl = silent.baseUrl();
        silent.setDefaultFault(Fault::stalled(0));
        QList<DownloadEntry> downloads;
        for (int i = 0; i < 10; ++i) {
            const QString name = QString("f%1.dat").arg(i);
            silent.setContent("/7/sec/" + name, "abc");
            downloads << DownloadEntry {"sec", name, kAbcSha512, 3};
        }
        config.m_streams = c.streams;
        DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 0.4);
        Recorder rec(&list);
        list.execute();
        ASSERT_TRUE(QTest::qWaitFor([&] { return silent.requests().size() == c.started; }, 20000));
        // Further starts would have come from the same pass of the event loop as these.
        EXPECT_EQ(rec.countStarting("Downloading sec/"), c.started);
        // The first ones of the list, in whatever order their connections reached the server.
        QStringList paths, expected;
        for (int i = 0; i < c.started; ++i) {
            paths << silent.requests()[i].path;
            expected << QString("/7/sec/f%1.dat").arg(i);
        }
        paths.sort();
        EXPECT_EQ(paths, expected);

        list.cancel();
        ASSERT_TRUE(rec.waitForEnd());
        EXPECT_EQ(silent.requests().size(), c.started);
        EXPECT_EQ(tree(), QStringList()); // no partial file is left
    }
}

TEST_F(DownloadListTest, WithOneStreamFilesComeStrictlyInListOrder)
{
    QList<DownloadEntry> downloads;
    QStringList expected;
    for (int i = 0; i < 5; ++i) {
        downloads << addFile(QString("f%1.dat").arg(i));
        expected << QString("/7/sec/f%1.dat").arg(i);
    }
    config.m_streams = 1;
    DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 0.4);
    Recorder rec(&list);
    list.execute();
    ASSERT_TRUE(rec.waitForEnd());
    EXPECT_EQ(list.state(), TASK_FINISHED);
    QStringList paths;
    for (const HttpTestServer::Request &r : server.requests())
        paths << r.path;
    EXPECT_EQ(paths, expected);
    EXPECT_EQ(server.maxAnswersInFlight(), 1);
    EXPECT_EQ(rec.maxInFlight, 1);
}

// Two dozen files over a slow but steady link with ten streams: none may wait inside the network access
// manager long enough for the watchdog. The engine's pulls come every 25 ms here, so an attempt fails
// after 400 ms without data, and each file takes about 800 ms to arrive.
TEST_F(DownloadListTest, SlowSteadyServerAndTenStreamsCompleteWithoutTimeOuts)
{
    server.setDefaultFault(Fault::trickled(64, 20));
    QList<DownloadEntry> downloads;
    for (int i = 0; i < 24; ++i)
        downloads << addFile(QString("f%1.dat").arg(i), 64 * 40);
    config.m_streams = 10;
    DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 0.4);
    Recorder rec(&list);
    QTimer engineTimer;
    QObject::connect(&engineTimer, &QTimer::timeout, [&list] {
        quint64 received = 0, total = 0, sinceLastPoll = 0;
        bool active = false;
        list.getDownloadProgress(received, total, sinceLastPoll, active);
    });
    engineTimer.start(25);
    list.execute();
    ASSERT_TRUE(rec.waitForEnd());
    engineTimer.stop();

    EXPECT_EQ(list.state(), TASK_FINISHED) << rec.messages.join("\n").toStdString();
    EXPECT_EQ(rec.countStarting("file "), 0); // "file %1 timed out"
    EXPECT_EQ(server.requests().size(), 24);
    EXPECT_EQ(rec.maxInFlight, 6);
    EXPECT_LE(server.maxAnswersInFlight(), 6);
}

TEST_F(DownloadListTest, ReportsThePlannedTotalFromTheFirstPull)
{
    QList<DownloadEntry> downloads;
    for (int i = 1; i <= 10; ++i)
        downloads << addFile(QString("f%1.dat").arg(i), i * 100);
    DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 0.4);
    Recorder rec(&list);
    list.execute();
    quint64 received = 0, total = 0, sinceLastPoll = 0;
    bool active = false;
    list.getDownloadProgress(received, total, sinceLastPoll, active);
    EXPECT_EQ(total, 5500u);
    EXPECT_EQ(received, 0u);
    ASSERT_TRUE(rec.waitForEnd());
    EXPECT_EQ(list.state(), TASK_FINISHED);
    received = total = sinceLastPoll = 0;
    list.getDownloadProgress(received, total, sinceLastPoll, active);
    EXPECT_EQ(total, 5500u);
    EXPECT_EQ(received, 5500u);
}

TEST_F(DownloadListTest, ResetReleasesTheFileTasksAndASecondRunBuildsFreshOnes)
{
    QList<DownloadEntry> downloads {addFile("a.dat"), addFile("b.dat")};
    DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 0.4);
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        Recorder rec(&list);
        list.execute();
        ASSERT_TRUE(rec.waitForEnd());
        EXPECT_EQ(list.state(), TASK_FINISHED);
        EXPECT_EQ(list.allTasks().size(), 2);

        QList<QPointer<TaskSpecification>> old;
        for (TaskSpecification *t : list.allTasks())
            old << t;
        list.reset();
        EXPECT_EQ(list.state(), TASK_IDLE);
        EXPECT_TRUE(list.allTasks().isEmpty());
        quint64 received = 0, total = 0, sinceLastPoll = 0;
        bool active = false;
        list.getDownloadProgress(received, total, sinceLastPoll, active);
        EXPECT_EQ(total, 0u);
        EXPECT_TRUE(QTest::qWaitFor([&] { return old.count(nullptr) == old.size(); }, 20000));
    }
    EXPECT_EQ(server.requestCount("/7/sec/a.dat"), 2);
}

// The check after a download is binding when the entry has a SHA-512: a file that does not match fails its
// download (retried like any failed attempt), is removed, and the list ends cancelled; running siblings abort.
TEST_F(DownloadListTest, FileThatDoesNotMatchItsDigestFailsTheListAndIsRemoved)
{
    server.setContent("/7/sec/bad.dat", "xyz");
    server.setContent("/7/sec/slow.dat", QByteArray(1000, 's'));
    server.addFault("/7/sec/slow.dat", Fault::stalled(10), -1);
    QList<DownloadEntry> downloads {DownloadEntry {"sec", "bad.dat", kAbcSha512, 3},
                                    DownloadEntry {"sec", "slow.dat", sha512Of(QByteArray(1000, 's')), 1000}};
    DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 0.4);
    Recorder rec(&list);
    list.execute();
    ASSERT_TRUE(rec.waitForEnd());

    EXPECT_EQ(list.state(), TASK_CANCELED);
    EXPECT_EQ(rec.count("Signature check failed for " + dir + "/bad.dat"), 5);
    EXPECT_EQ(rec.count("Unable to download sec/bad.dat"), 1);
    EXPECT_EQ(rec.count("Abort downloading sec/slow.dat"), 1);
    EXPECT_EQ(server.requestCount("/7/sec/bad.dat"), 5);
    EXPECT_EQ(tree(), QStringList());
}

// A line with a digest is checked while it arrives, so its file task is the download alone, with the whole
// weight: the file is not read a second time.
TEST_F(DownloadListTest, LineWithDigestIsCheckedOnlyWhileItArrives)
{
    QList<DownloadEntry> downloads {addFile("a.dat", 300 * 1024)};
    DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 0.4);
    Recorder rec(&list);
    list.execute();
    ASSERT_TRUE(rec.waitForEnd());
    EXPECT_EQ(list.state(), TASK_FINISHED);
    ASSERT_EQ(list.allTasks().size(), 1);
    const auto *file = qobject_cast<ComposedTaskSpecification *>(list.allTasks().first());
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(file->allTasks().size(), 1);
    const TaskSpecification *download = file->allTasks().first();
    EXPECT_NE(qobject_cast<const DownloadTaskSpecification *>(download), nullptr);
    EXPECT_DOUBLE_EQ(download->weight(), 1.0);
    EXPECT_DOUBLE_EQ(list.progress(), 0.4);
}

// A line without a digest is checked after its download: a file altered in between fails and goes, with its
// ".sig".
TEST_F(DownloadListTest, FileChangedAfterItsDownloadFailsItsSignatureCheckAndIsRemoved)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "this build has no development key to sign with";
    server.setContent("/7/sec/a.dat", "abc");
    server.setContent("/7/sec/a.dat.sig", signing::signData("abc"));
    QList<DownloadEntry> downloads {DownloadEntry {"sec", "a.dat", QString(), 3}};
    DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 0.4);
    Recorder rec(&list);
    // Between the download and the check (which starts from the event loop), something alters the file.
    QObject::connect(&list, &TaskSpecification::message, [this](const QString &text) {
        if (text == "Downloading sec/a.dat finished") {
            QFile file(dir + "/a.dat");
            ASSERT_TRUE(file.open(QIODevice::Append));
            file.write("!");
        }
    });
    list.execute();
    ASSERT_TRUE(rec.waitForEnd());
    EXPECT_EQ(list.state(), TASK_CANCELED);
    EXPECT_EQ(rec.messages.last(), "Signature check failed for " + dir + "/a.dat");
    EXPECT_EQ(tree(), QStringList());
}

// A line without a SHA-512 is vouched for by the file's own signature: "F.sig" is fetched beside it, and a
// missing or wrong one fails the download like a wrong digest, leaving nothing behind.
TEST_F(DownloadListTest, FileWithoutDigestNeedsItsSignature)
{
    if (!signing::hasDevelopmentKey())
        GTEST_SKIP() << "this build has no development key to sign with";
    struct Case
    {
        const char *name;
        QByteArray signedContent; // what the served ".sig" signs; empty: no ".sig" on the server
        int state;
        QStringList files; // left in the session directory
    };
    const Case cases[] = {
        {"valid signature", "abc", TASK_FINISHED, {"a.dat", "a.dat.sig"}},
        {"no signature on the server", QByteArray(), TASK_CANCELED, {}},
        {"signature of other bytes", "other", TASK_CANCELED, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(dir).removeRecursively();
        QDir().mkpath(dir);
        server.clearFaults();
        server.setContent("/7/sec/a.dat", "abc");
        server.setContent("/7/sec/a.dat.sig", signing::signData(c.signedContent));
        if (c.signedContent.isEmpty())
            server.addFault("/7/sec/a.dat.sig", Fault::withStatus(404), -1);
        QList<DownloadEntry> downloads {DownloadEntry {"sec", "a.dat", QString(), 3}};
        DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 0.4);
        Recorder rec(&list);
        list.execute();
        ASSERT_TRUE(rec.waitForEnd());
        EXPECT_EQ(list.state(), c.state);
        EXPECT_EQ(tree(), c.files);
    }
}

TEST_F(DownloadListTest, DownloadThatFailsForGoodAbortsItsRunningSiblings)
{
    server.setContent("/7/sec/gone.dat", "abc");
    server.addFault("/7/sec/gone.dat", Fault::withStatus(404), -1);
    server.setContent("/7/sec/slow.dat", QByteArray(1000, 's'));
    server.addFault("/7/sec/slow.dat", Fault::stalled(10), -1);
    QList<DownloadEntry> downloads {DownloadEntry {"sec", "slow.dat", sha512Of(QByteArray(1000, 's')), 1000},
                                    DownloadEntry {"sec", "gone.dat", kAbcSha512, 3}, addFile("never.dat")};
    config.m_streams = 2;
    DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 0.4);
    Recorder rec(&list);
    list.execute();
    ASSERT_TRUE(rec.waitForEnd());
    EXPECT_EQ(list.state(), TASK_CANCELED);
    EXPECT_EQ(rec.count("sec/gone.dat returned 404"), 5);
    EXPECT_EQ(rec.count("Abort downloading sec/slow.dat"), 1);
    EXPECT_EQ(server.requestCount("/7/sec/never.dat"), 0);
    EXPECT_EQ(tree(), QStringList());
}

TEST_F(DownloadListTest, EveryRequestPassesThroughTheProxyOfUpdateIni)
{
    HttpTestServer proxy;
    ASSERT_TRUE(proxy.start());
    proxy.setProxyMode(true);
    AppDirIni ini("[update]\nproxy=http://127.0.0.1:" + QByteArray::number(proxy.port()) + "\nstreams=2\n");
    Configuration engineConfig;
    UpdateEngine engine(&engineConfig, nullptr); // reads group "update" and sets up its manager's proxy
    engineConfig.m_tempDir = dir;
    engineConfig.m_version = 7;

    QList<DownloadEntry> downloads;
    for (const QString name : {"a.dat", "x/b.dat", "c.dat"}) {
        const QByteArray content = contentOf(name, 100);
        proxy.setContent("/7/sec/" + name, content);
        server.setContent("/7/sec/" + name, "not from the proxy");
        downloads << DownloadEntry {"sec", name, sha512Of(content), 100};
    }
    proxy.addFault("/7/sec/c.dat", Fault::withStatus(500), 1); // a retry takes the proxy too
    DownloadFileListTaskSpecification list(&downloads, engine.networkManager(), &engineConfig, nullptr, 0.4);
    Recorder rec(&list);
    list.execute();
    ASSERT_TRUE(rec.waitForEnd());

    EXPECT_EQ(list.state(), TASK_FINISHED) << rec.messages.join("\n").toStdString();
    EXPECT_TRUE(server.requests().isEmpty()) << server.log().toStdString();
    QStringList targets;
    for (const HttpTestServer::Request &r : proxy.requests())
        targets << QString::fromLatin1(r.target);
    targets.sort();
    EXPECT_EQ(targets,
              (QStringList {server.url("7/sec/a.dat"), server.url("7/sec/c.dat"), server.url("7/sec/c.dat"),
                            server.url("7/sec/x/b.dat")}));
}
