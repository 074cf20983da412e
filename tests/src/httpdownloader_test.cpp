#include "httpdownloader.h"

#include "support/hostilebodies.h"
#include "support/httptestserver.h"

#include <QCoreApplication>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTcpServer>
#include <QUrl>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

// A port on 127.0.0.1 where nothing listens (any more).
quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Runs one downloader to its end and records what a caller could observe.
struct Outcome
{
    int deliveries = 0;
    QByteArray data;
    bool onCreatingThread = false;
    bool destroyed = false;
    bool threadFinishedBeforeDestroyed = false;
};

Outcome runDownloader(const QNetworkRequest &request)
{
    Outcome out;
    auto threadFinished = std::make_shared<std::atomic<bool>>(false);
    auto *downloader = new HTTPDownloader(request);
    QObject::connect(
        downloader, &QThread::finished, downloader, [threadFinished] { *threadFinished = true; }, Qt::DirectConnection);
    QObject::connect(downloader, &HTTPDownloader::download_available, [&out](const QByteArray &data) {
        ++out.deliveries;
        out.data = data;
        out.onCreatingThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    });
    QSignalSpy destroyed(downloader, &QObject::destroyed);
    QObject::connect(downloader, &QObject::destroyed,
                     [&out, threadFinished] { out.threadFinishedBeforeDestroyed = *threadFinished; });
    downloader->start();
    out.destroyed = destroyed.wait(15000);
    return out;
}

} // namespace

TEST(HTTPDownloader, DeliversBodyOrEmptyArrayOnceAndDeletesItselfAfterItsThread)
{
    HttpTestServer server;
    ASSERT_TRUE(server.start());
    server.setContent("/versions", QByteArray("\x08\x01\x12\x00", 4));
    server.setContent("/empty", QByteArray());
    server.setContent("/missing-page", QByteArray("ignored"));
    server.addFault("/missing-page", HttpTestServer::Fault::withStatus(404), -1);
    server.setContent("/broken", QByteArray("ignored"));
    server.addFault("/broken", HttpTestServer::Fault::withStatus(500), -1);
    server.setContent("/silent", QByteArray("never sent"));
    server.addFault("/silent", HttpTestServer::Fault::stalled(0), -1);
    server.setContent("/halfway", QByteArray("abcdef"));
    server.addFault("/halfway", HttpTestServer::Fault::stalled(3), -1);

    struct Case
    {
        const char *name;
        QString url;
        QByteArray expected;
    };
    const Case cases[] = {
        {"body", server.url("versions"), QByteArray("\x08\x01\x12\x00", 4)},
        {"empty body", server.url("empty"), QByteArray()},
        {"404", server.url("missing-page"), QByteArray()},
        {"500", server.url("broken"), QByteArray()},
        {"connection refused", QStringLiteral("http://127.0.0.1:%1/versions").arg(closedPort()), QByteArray()},
        {"silent after the header", server.url("silent"), QByteArray()},
        {"silent after part of the body", server.url("halfway"), QByteArray()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QNetworkRequest request {QUrl(c.url)};
        request.setTransferTimeout(300); // the silent servers are given up after this
        const Outcome out = runDownloader(request);
        ASSERT_TRUE(out.destroyed);
        EXPECT_EQ(out.deliveries, 1);
        EXPECT_EQ(out.data, c.expected);
        EXPECT_TRUE(out.onCreatingThread);
        EXPECT_TRUE(out.threadFinishedBeforeDestroyed);
    }
}

// The answer is held in memory, and nothing signs it: above 1 MiB, or in an encoding Qt would expand, it
// counts as no answer, and the transfer stops there instead of running on.
TEST(HTTPDownloader, AnswerAboveOneMebibyteOrEncodedCountsAsNone)
{
    using Fault = HttpTestServer::Fault;
    const qint64 kMiB = 1024 * 1024;
    Fault gzipped = Fault::withBody(hostilebodies::gzipOfZeros(64 * kMiB));
    gzipped.headers = {{"Content-Encoding", "gzip"}};
    struct Case
    {
        const char *name;
        Fault answer;
        QByteArray expected;
    };
    const Case cases[] = {
        {"exactly 1 MiB without a length", Fault::unbounded(kMiB), QByteArray(int(kMiB), 'x')},
        {"one byte more", Fault::unbounded(kMiB + 1), QByteArray()},
        {"2 MiB announced", Fault::withBody(QByteArray(int(2 * kMiB), 'y')), QByteArray()},
        {"endless body", Fault::unbounded(1024 * kMiB), QByteArray()},
        {"64 MiB as 64 KiB of gzip", gzipped, QByteArray()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HttpTestServer server;
        ASSERT_TRUE(server.start());
        server.setDefaultFault(c.answer);
        const Outcome out = runDownloader(QNetworkRequest(QUrl(server.url("versions"))));
        ASSERT_TRUE(out.destroyed);
        EXPECT_EQ(out.deliveries, 1);
        EXPECT_EQ(out.data.size(), c.expected.size());
        EXPECT_EQ(out.data, c.expected);
        // One request; Qt sends it once more when the server's close arrives while Qt still counts the request
        // as being written (seen under load with the answer that ends by closing the connection).
        ASSERT_GE(server.requests().size(), 1);
        EXPECT_LE(server.requests().size(), 2);
        for (const auto &request : server.requests())
            EXPECT_EQ(request.header("Accept-Encoding"), QByteArray("identity"));
        // The server writes only as fast as the client reads.
        EXPECT_LT(server.bodyBytesSent(), 16 * kMiB);
    }
}

TEST(HTTPDownloader, TwoQueriesAtOnceEachDeliverTheirOwnBody)
{
    HttpTestServer server;
    ASSERT_TRUE(server.start());
    server.setContent("/one", "first");
    server.setContent("/two", "second");

    QList<QByteArray> bodies[2];
    QSignalSpy *spies[2];
    for (int i = 0; i < 2; ++i) {
        auto *downloader = new HTTPDownloader(QNetworkRequest(QUrl(server.url(i == 0 ? "one" : "two"))));
        QObject::connect(downloader, &HTTPDownloader::download_available,
                         [&bodies, i](const QByteArray &data) { bodies[i].append(data); });
        spies[i] = new QSignalSpy(downloader, &QObject::destroyed);
        downloader->start();
    }
    for (QSignalSpy *spy : spies) {
        EXPECT_TRUE(spy->count() == 1 || spy->wait(15000));
        delete spy;
    }
    EXPECT_EQ(bodies[0], QList<QByteArray> {"first"});
    EXPECT_EQ(bodies[1], QList<QByteArray> {"second"});
    EXPECT_EQ(server.requestCount("/one"), 1);
    EXPECT_EQ(server.requestCount("/two"), 1);
}

TEST(HTTPDownloader, RequestWithoutTimeOutGetsThirtySeconds)
{
    const QUrl url("http://127.0.0.1:1/versions");
    HTTPDownloader plain {QNetworkRequest(url)};
    EXPECT_EQ(plain.request().transferTimeout(), 30000);

    QNetworkRequest own(url);
    own.setTransferTimeout(1234);
    HTTPDownloader withOwn(own);
    EXPECT_EQ(withOwn.request().transferTimeout(), 1234);
    EXPECT_EQ(withOwn.request().url(), url);
}
