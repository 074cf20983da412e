#include "downloadtaskspecification.h"

#include "globals.h"
#include "support/filesizelimit.h"
#include "support/httptestserver.h"
#include "support/qtprinters.h"
#include "support/sandbox.h"

#include <QDir>
#include <QCryptographicHash>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QtTest>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace {

using Fault = HttpTestServer::Fault;

// SHA-512 of "abc" (the standard test vector).
const char kAbcSha512[] = "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
                          "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F";

const int kVersion = 7;
const char kPath[] = "sec/a.dat";
const char kServerPath[] = "/7/sec/a.dat";

// Everything a task says, in order, and how it ended.
struct Recorder
{
    explicit Recorder(TaskSpecification *task)
        : finished(task, &TaskSpecification::finished)
        , canceled(task, &TaskSpecification::canceled)
    {
        QObject::connect(task, &TaskSpecification::message, [this](const QString &t) { messages << t; });
        QObject::connect(task, &TaskSpecification::error, [this](const QString &t) { errors << t; });
        QObject::connect(task, &TaskSpecification::updateProgress,
                         [this](qreal p) { maxProgress = qMax(maxProgress, p); });
    }
    bool ended() const { return finished.count() + canceled.count() > 0; }
    bool waitForEnd()
    {
        return QTest::qWaitFor([this] { return ended(); }, 20000);
    }

    QSignalSpy finished;
    QSignalSpy canceled;
    QStringList messages;
    QStringList errors;
    qreal maxProgress = 0;
};

struct Counters
{
    quint64 received = 0, total = 0, sinceLastPoll = 0;
    bool active = false;
};

Counters pull(TaskSpecification &task)
{
    Counters c;
    task.getDownloadProgress(c.received, c.total, c.sinceLastPoll, c.active);
    return c;
}

// Messages are compared against patterns in which "*" stands for any one text (Qt's own error strings).
void expectMessages(const QStringList &actual, const QStringList &patterns)
{
    ASSERT_EQ(actual.size(), patterns.size()) << actual.join("\n").toStdString();
    for (int i = 0; i < patterns.size(); ++i) {
        if (patterns[i] != "*") {
            EXPECT_EQ(actual[i], patterns[i]) << "message " << i;
        }
    }
}

QStringList repeated(const QString &text, int n)
{
    QStringList list;
    for (int i = 0; i < n; ++i)
        list << text;
    return list;
}

class DownloadTaskTest : public ::testing::Test
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
        target = dir + "/a.dat";
    }
    void TearDown() override { updateBaseUrl = m_savedBaseUrl; }

    std::unique_ptr<DownloadTaskSpecification> makeTask(qint64 expectedSize)
    {
        return std::make_unique<DownloadTaskSpecification>(&manager, kPath, kVersion, target, expectedSize, nullptr,
                                                           0.8);
    }
    QStringList filesInDir() const { return QDir(dir).entryList(QDir::Files | QDir::Hidden); }

    Sandbox sandbox;
    HttpTestServer server;
    QNetworkAccessManager manager;
    QString dir;
    QString target;

private:
    QString m_savedBaseUrl;
};

} // namespace

TEST_F(DownloadTaskTest, AnswersOfTheServer)
{
    const QString started = "Downloading sec/a.dat";
    const QString done = "Downloading sec/a.dat finished";
    const QString unable = "Unable to download sec/a.dat";
    const QString wrongHash = "Signature check failed for " + target;

    struct Case
    {
        const char *name;
        QByteArray content; // what the server holds at the path
        QList<QPair<Fault, int>> faults; // queued before the first request
        bool expectSha = false; // expect the SHA-512 of "abc"
        qint64 expectedSize = -1;
        int state;
        int requests;
        std::optional<QByteArray> file; // the target's content afterwards; nullopt: absent
        QStringList messages;
        qint64 maxSize = -1; // the cap for a download without an expected size
    };
    const Case cases[] = {
        {"200", "abc", {}, false, 3, TASK_FINISHED, 1, QByteArray("abc"), {started, done}},
        {"empty body", "", {}, false, 0, TASK_FINISHED, 1, QByteArray(""), {started, done}},
        {"404 on every attempt",
         "abc",
         {{Fault::withStatus(404), -1}},
         false,
         3,
         TASK_CANCELED,
         5,
         std::nullopt,
         QStringList {started} + repeated("sec/a.dat returned 404", 5) + QStringList {unable}},
        {"500, then 200",
         "abc",
         {{Fault::withStatus(500), 1}},
         false,
         3,
         TASK_FINISHED,
         2,
         QByteArray("abc"),
         {started, "sec/a.dat returned 500", done}},
        {"redirect is not followed",
         "abc",
         {{Fault::withStatus(302, {{"Location", "/7/sec/b.dat"}}), -1}},
         false,
         3,
         TASK_CANCELED,
         5,
         std::nullopt,
         QStringList {started} + repeated("sec/a.dat returned 302", 5) + QStringList {unable}},
        {"body cut short once",
         "abcdefghij",
         {{Fault::closed(4), 1}},
         false,
         10,
         TASK_FINISHED,
         2,
         QByteArray("abcdefghij"),
         {started, "*", done}},
        {"body always cut short",
         "abcdefghij",
         {{Fault::closed(4), -1}},
         false,
         10,
         TASK_CANCELED,
         5,
         std::nullopt,
         QStringList {started} + repeated("*", 5) + QStringList {unable}},
        // An attempt stops at the expected size, or at the cap when no size is expected; a body of any
        // content encoding is refused, and none is asked for.
        {"body longer than the expected size",
         "abcdefgh",
         {},
         false,
         4,
         TASK_CANCELED,
         5,
         std::nullopt,
         QStringList {started} + repeated("sec/a.dat is larger than 4 bytes", 5) + QStringList {unable}},
        {"body longer than expected once",
         "abc",
         {{Fault::withBody("abcdefgh"), 1}},
         false,
         3,
         TASK_FINISHED,
         2,
         QByteArray("abc"),
         {started, "sec/a.dat is larger than 3 bytes", done}},
        {"gzip-encoded answer",
         "abc",
         {{Fault::withStatus(200, {{"Content-Encoding", "gzip"}}), -1}},
         false,
         3,
         TASK_CANCELED,
         5,
         std::nullopt,
         QStringList {started} + repeated("sec/a.dat was sent with content encoding gzip", 5) + QStringList {unable}},
        {"no length, body beyond the cap",
         "abc",
         {{Fault::unbounded(1024 * 1024), -1}},
         false,
         -1,
         TASK_CANCELED,
         5,
         std::nullopt,
         QStringList {started} + repeated("sec/a.dat is larger than 65536 bytes", 5) + QStringList {unable},
         65536},
        {"no length, body exactly the cap",
         "abc",
         {{Fault::unbounded(65536), -1}},
         false,
         -1,
         TASK_FINISHED,
         1,
         QByteArray(65536, 'x'),
         {started, done},
         65536},
        {"wrong content, nothing expected",
         "abc",
         {{Fault::withBody("xyz"), -1}},
         false,
         3,
         TASK_FINISHED,
         1,
         QByteArray("xyz"),
         {started, done}},
        {"wrong content once, SHA-512 expected",
         "abc",
         {{Fault::withBody("xyz"), 1}},
         true,
         3,
         TASK_FINISHED,
         2,
         QByteArray("abc"),
         {started, wrongHash, done}},
        {"wrong content always, SHA-512 expected",
         "abc",
         {{Fault::withBody("xyz"), -1}},
         true,
         3,
         TASK_CANCELED,
         5,
         std::nullopt,
         QStringList {started} + repeated(wrongHash, 5) + QStringList {unable}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HttpTestServer origin; // a fresh log and fault queue per case
        ASSERT_TRUE(origin.start());
        updateBaseUrl = origin.baseUrl();
        origin.setContent(kServerPath, c.content);
        origin.setContent("/7/sec/b.dat", "redirected");
        for (const auto &f : c.faults)
            origin.addFault(kServerPath, f.first, f.second);
        QFile::remove(target);

        auto task = makeTask(c.expectedSize);
        if (c.expectSha)
            task->setExpectedSha512(kAbcSha512);
        task->setMaxSize(c.maxSize);
        Recorder rec(task.get());
        task->execute();
        ASSERT_TRUE(rec.waitForEnd()) << origin.log().toStdString();

        EXPECT_EQ(task->state(), c.state);
        EXPECT_EQ(rec.finished.count() + rec.canceled.count(), 1);
        EXPECT_EQ(origin.requestCount(kServerPath), c.requests) << origin.log().toStdString();
        EXPECT_EQ(origin.requestCount("/7/sec/b.dat"), 0);
        expectMessages(rec.messages, c.messages);
        EXPECT_TRUE(rec.errors.isEmpty());
        if (c.file) {
            EXPECT_EQ(Sandbox::readFile(target), *c.file);
            EXPECT_EQ(filesInDir(), QStringList {"a.dat"}); // no partial file left beside it
            EXPECT_DOUBLE_EQ(task->progress(), 0.8);
        } else {
            EXPECT_EQ(filesInDir(), QStringList());
        }
        for (const HttpTestServer::Request &r : origin.requests())
            EXPECT_EQ(r.header("Accept-Encoding"), QByteArray("identity")) << r.path.toStdString();
    }
}

TEST_F(DownloadTaskTest, SixteenthIdlePullFailsTheAttemptAndFiveFailuresEndIt)
{
    server.setContent(kServerPath, QByteArray(1000, 'x'));
    // Five bytes, one every 20 ms, then silence. While bytes arrive, pulling is harmless: each byte restarts
    // the idle count.
    Fault fault = Fault::trickled(1, 20);
    fault.stallAfter = 5;
    server.addFault(kServerPath, fault, -1);
    auto task = makeTask(-1);
    Recorder rec(task.get());
    task->execute();
    EXPECT_EQ(pull(*task).total, 0u); // no size given, none announced yet

    for (int attempt = 1; attempt <= 5; ++attempt) {
        SCOPED_TRACE(attempt);
        // The pull that sees the fifth byte is the first idle one.
        ASSERT_TRUE(QTest::qWaitFor([&] { return pull(*task).received == 5; }, 20000)) << server.log().toStdString();
        EXPECT_FALSE(QFile::exists(target)); // the body goes to the partial file until it is complete
        // A pool thread creates it while the request goes out.
        EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(task->partialFileName()); }, 20000));
        for (int poll = 2; poll <= 15; ++poll) {
            const Counters c = pull(*task);
            EXPECT_TRUE(c.active) << "poll " << poll;
            EXPECT_EQ(c.total, 1000u); // announced by the server
            EXPECT_EQ(c.received, 5u);
            EXPECT_EQ(c.sinceLastPoll, 0u);
        }
        const int before = rec.messages.size();
        EXPECT_FALSE(pull(*task).active); // the sixteenth
        ASSERT_GT(rec.messages.size(), before);
        EXPECT_EQ(rec.messages[before], "file sec/a.dat timed out");
        if (attempt < 5) {
            const Counters retry = pull(*task); // the next attempt has started, from byte 0
            EXPECT_EQ(retry.received, 0u);
            EXPECT_EQ(retry.total, 0u);
            EXPECT_EQ(server.requestCount(kServerPath), attempt); // its request is not even out yet
        }
    }
    EXPECT_EQ(rec.messages.last(), "Unable to download sec/a.dat");
    EXPECT_EQ(rec.messages.size(), 1 + 5 + 1);
    EXPECT_EQ(task->state(), TASK_CANCELED);
    EXPECT_EQ(rec.canceled.count(), 1);
    EXPECT_EQ(server.requestCount(kServerPath), 5);
    EXPECT_EQ(filesInDir(), QStringList());
    EXPECT_FALSE(pull(*task).active);
}

TEST_F(DownloadTaskTest, DataArrivingRestartsTheIdleCount)
{
    server.setContent(kServerPath, QByteArray(1000, 'x'));
    server.addFault(kServerPath, Fault::trickled(1, 50), -1);
    auto task = makeTask(1000);
    Recorder rec(task.get());
    task->execute();

    QSignalSpy progress(task.get(), &TaskSpecification::updateProgress); // moves with every byte read
    ASSERT_TRUE(progress.wait(20000));
    for (int round = 0; round < 3; ++round) {
        for (int poll = 0; poll < 15; ++poll)
            EXPECT_TRUE(pull(*task).active);
        // One more byte instead of the sixteenth pull.
        progress.clear();
        ASSERT_TRUE(progress.wait(20000));
    }
    EXPECT_EQ(rec.messages, QStringList {"Downloading sec/a.dat"});
    EXPECT_EQ(task->state(), TASK_RUNNING);
    EXPECT_EQ(server.requestCount(kServerPath), 1);
}

TEST_F(DownloadTaskTest, CancelAndSiblingAbortRemoveThePartialFile)
{
    server.setContent(kServerPath, QByteArray(1000, 'x'));
    server.addFault(kServerPath, Fault::stalled(10), -1);

    struct Case
    {
        const char *name;
        bool bySibling;
        int state;
        QStringList messages;
    };
    const Case cases[] = {
        {"cancel", false, TASK_ERROR, {"Downloading sec/a.dat"}},
        {"sibling cancelled", true, TASK_CANCELED, {"Downloading sec/a.dat", "Abort downloading sec/a.dat"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto task = makeTask(1000);
        Recorder rec(task.get());
        task->execute();
        ASSERT_TRUE(QTest::qWaitFor([&] { return task->progress() > 0; }, 20000));
        const QStringList partial {QFileInfo(task->partialFileName()).fileName()};
        ASSERT_TRUE(QTest::qWaitFor([&] { return filesInDir() == partial; }, 20000))
            << filesInDir().join(' ').toStdString();

        if (c.bySibling) {
            auto sibling = makeTask(1);
            task->onOtherTaskCancelled(sibling.get());
        } else {
            task->cancel();
        }
        EXPECT_EQ(task->state(), c.state);
        EXPECT_EQ(rec.canceled.count(), 1);
        EXPECT_EQ(rec.messages, c.messages);
        EXPECT_EQ(filesInDir(), QStringList());
        EXPECT_FALSE(pull(*task).active);
        // The server sees the connection go.
        EXPECT_TRUE(QTest::qWaitFor([&] { return server.answersInFlight() == 0; }, 20000));
    }
}

TEST_F(DownloadTaskTest, CancelOnAnIdleOrEndedTaskOnlySetsTheFlag)
{
    server.setContent(kServerPath, "abc");
    auto task = makeTask(3);
    Recorder rec(task.get());
    task->cancel();
    EXPECT_TRUE(task->cancelRequested());
    EXPECT_EQ(task->state(), TASK_IDLE);

    task->reset();
    task->execute();
    ASSERT_TRUE(rec.waitForEnd());
    task->cancel();
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(rec.canceled.count(), 0);
    EXPECT_EQ(Sandbox::readFile(target), "abc");
}

TEST_F(DownloadTaskTest, ResetKeepsAFinishedFileAndClearsTheAttempts)
{
    server.setContent(kServerPath, "abc");
    auto task = makeTask(3);
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        // Four failed attempts in each run: a count carried over would end the second run early.
        server.addFault(kServerPath, Fault::withStatus(503), 4);
        Recorder rec(task.get());
        task->execute();
        ASSERT_TRUE(rec.waitForEnd());
        EXPECT_EQ(task->state(), TASK_FINISHED);
        task->reset();
        EXPECT_EQ(task->state(), TASK_IDLE);
        EXPECT_EQ(Sandbox::readFile(target), "abc");
    }
    EXPECT_EQ(server.requestCount(kServerPath), 10);
}

TEST_F(DownloadTaskTest, ResetOrDestructionDuringAnAttemptRemovesThePartialFile)
{
    server.setContent(kServerPath, QByteArray(1000, 'x'));
    server.addFault(kServerPath, Fault::stalled(10), -1);
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "reset");
        auto task = makeTask(1000);
        task->execute();
        ASSERT_TRUE(QTest::qWaitFor([&] { return task->progress() > 0; }, 20000));
        const QStringList partial {QFileInfo(task->partialFileName()).fileName()};
        ASSERT_TRUE(QTest::qWaitFor([&] { return filesInDir() == partial; }, 20000))
            << filesInDir().join(' ').toStdString();
        if (destroy)
            task.reset();
        else
            task->reset();
        EXPECT_EQ(filesInDir(), QStringList());
        EXPECT_TRUE(QTest::qWaitFor([&] { return server.answersInFlight() == 0; }, 20000));
    }
}

// The file is written on a pool thread: a write that fails midway still fails its attempt with the file's error,
// with or without a digest to check, and leaves no partial file.
TEST_F(DownloadTaskTest, AWriteThatFailsMidwayFailsTheAttempt)
{
    const QByteArray body(3 * 1024 * 1024, 'w');
    server.setContent(kServerPath, body);
    for (const bool withDigest : {false, true}) {
        SCOPED_TRACE(withDigest ? "with a digest" : "without a digest");
        auto task = makeTask(body.size());
        if (withDigest)
            task->setExpectedSha512(QCryptographicHash::hash(body, QCryptographicHash::Sha512).toHex());
        Recorder rec(task.get());
        FileSizeLimit limit(256 * 1024);
        ASSERT_TRUE(limit.active());
        task->execute();
        ASSERT_TRUE(rec.waitForEnd());
        EXPECT_EQ(task->state(), TASK_CANCELED);
        expectMessages(rec.messages, QStringList {"Downloading sec/a.dat"} + repeated(qt_error_string(EFBIG), 5) +
                           QStringList {"Unable to download sec/a.dat"});
        EXPECT_EQ(filesInDir(), QStringList());
    }
}

TEST_F(DownloadTaskTest, ATargetThatCannotBeCreatedEndsTheTaskWithoutAnotherAttempt)
{
    ASSERT_TRUE(Sandbox::writeFile(dir + "/blocker", "a file where a directory is expected"));
    DownloadTaskSpecification task(&manager, kPath, kVersion, dir + "/blocker/a.dat", 3, nullptr, 1.0);
    Recorder rec(&task);
    task.execute();
    EXPECT_EQ(task.state(), TASK_CANCELED);
    EXPECT_EQ(rec.canceled.count(), 1);
    EXPECT_EQ(rec.errors, QStringList {"Unable to create file " + dir + "/blocker/a.dat for saving"});
    EXPECT_EQ(rec.messages, QStringList {"Downloading sec/a.dat"});
    QCoreApplication::processEvents();
    EXPECT_TRUE(server.requests().isEmpty());

    // A directory that takes no new file (even from root) fails once the file's creation has been tried: the
    // request is dropped and the task ends the same way, without another attempt.
    server.setContent(kServerPath, "abc");
    DownloadTaskSpecification late(&manager, kPath, kVersion, "/proc/a.dat", 3, nullptr, 1.0);
    Recorder lateRec(&late);
    late.execute();
    ASSERT_TRUE(lateRec.waitForEnd());
    EXPECT_EQ(late.state(), TASK_CANCELED);
    EXPECT_EQ(lateRec.canceled.count(), 1);
    EXPECT_EQ(lateRec.errors, QStringList {"Unable to create file /proc/a.dat for saving"});
    EXPECT_LE(server.requests().size(), 1);
}

TEST_F(DownloadTaskTest, StaleFileUnderTheTargetNameIsReplaced)
{
    ASSERT_TRUE(Sandbox::writeFile(target, "stale content, longer than the new one"));
    server.setContent(kServerPath, "abc");
    auto task = makeTask(3);
    Recorder rec(task.get());
    task->execute();
    ASSERT_TRUE(rec.waitForEnd());
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(Sandbox::readFile(target), "abc");
}

TEST_F(DownloadTaskTest, PartialFileClashesWithNoListedNameAndFitsTheNameLimit)
{
    // A listed file may be named like a naive partial name, and a listed name may use all 255 bytes that
    // a file name can have: the partial file must harm neither.
    const QString longName = QString(251, 'n') + ".dat";
    struct Case
    {
        const char *name;
        QString local; // the download's file name in the session directory
        QString neighbour; // an already downloaded file beside it; empty for none
    };
    const Case cases[] = {
        {"a listed file named target + \".part\"", "a.dat", "a.dat.part"},
        {"a 255-byte file name", longName, QString()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(dir).removeRecursively();
        QDir().mkpath(dir);
        if (!c.neighbour.isEmpty()) {
            ASSERT_TRUE(Sandbox::writeFile(dir + "/" + c.neighbour, "the other listed file"));
        }
        server.setContent("/7/sec/" + c.local, "abc");
        DownloadTaskSpecification task(&manager, "sec/" + c.local, kVersion, dir + "/" + c.local, 3, nullptr, 1.0);
        Recorder rec(&task);
        task.execute();
        ASSERT_TRUE(rec.waitForEnd());
        EXPECT_EQ(task.state(), TASK_FINISHED) << rec.messages.join("\n").toStdString()
                                               << rec.errors.join("\n").toStdString();
        EXPECT_EQ(Sandbox::readFile(dir + "/" + c.local), "abc");
        QStringList expected {c.local};
        if (!c.neighbour.isEmpty()) {
            EXPECT_EQ(Sandbox::readFile(dir + "/" + c.neighbour), "the other listed file");
            expected << c.neighbour;
        }
        expected.sort();
        EXPECT_EQ(filesInDir(), expected); // nothing left beside them
    }
}

TEST_F(DownloadTaskTest, EveryRequestPassesThroughTheConfiguredProxy)
{
    HttpTestServer proxy;
    ASSERT_TRUE(proxy.start());
    proxy.setProxyMode(true);
    proxy.setContent(kServerPath, "abc");
    server.setContent(kServerPath, "not from the proxy");
    manager.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, "127.0.0.1", proxy.port()));
    proxy.addFault(kServerPath, Fault::withStatus(500), 1); // the retry must take the proxy too

    auto task = makeTask(3);
    Recorder rec(task.get());
    task->execute();
    ASSERT_TRUE(rec.waitForEnd());
    EXPECT_EQ(task->state(), TASK_FINISHED);
    EXPECT_EQ(Sandbox::readFile(target), "abc");
    EXPECT_TRUE(server.requests().isEmpty()) << server.log().toStdString();
    ASSERT_EQ(proxy.requests().size(), 2) << proxy.log().toStdString();
    for (const HttpTestServer::Request &r : proxy.requests())
        EXPECT_EQ(QString::fromLatin1(r.target), server.baseUrl() + "7/sec/a.dat");
}
