// The version query end to end inside the process: Configuration asks a version server on 127.0.0.1 and
// acts on its answer.
#include "configuration.h"

#include "support/appdirini.h"
#include "support/boxanswerer.h"
#include "support/sandbox.h"
#include "support/versionserver.h"

#include <QHostAddress>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <memory>

namespace {

// Answers in the version server's wire format: Versions field 1 (0x08) licenseAgreementId, field 2 (0x12)
// one Channel each, with name (0x0A), version_number (0x10) and version_string (0x1A).
const QByteArray kId7("\x08\x07", 2);
const QByteArray kStable10("\x12\x10"
                           "\x0A\x06"
                           "stable"
                           "\x10\x0A"
                           "\x1A\x04"
                           "1.10");
const QByteArray kBetaIntMax("\x12\x17"
                             "\x0A\x04"
                             "beta"
                             "\x10\xFF\xFF\xFF\xFF\x07"
                             "\x1A\x09"
                             "1.11-beta");
const QByteArray kAlpha12("\x12\x10"
                          "\x0A\x05"
                          "alpha"
                          "\x10\x0C"
                          "\x1A\x05"
                          "1.12a");
// version_number -1 and INT_MIN, as ten-byte varints
const QByteArray kStableMinus1("\x12\x16"
                               "\x0A\x06"
                               "stable"
                               "\x10\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01"
                               "\x1A\x01"
                               "x");
const QByteArray kStableIntMin("\x12\x16"
                               "\x0A\x06"
                               "stable"
                               "\x10\x80\x80\x80\x80\xF8\xFF\xFF\xFF\xFF\x01"
                               "\x1A\x01"
                               "x");

const QByteArray kBetaIni = "[Channel]\nbeta=true\n";
const QByteArray kAlphaIni = "[Channel]\nalpha=http://alpha.example/tree\n"; // no alphaRevno: ask the server

const QStringList kAskServer = {"update", "--clientupdate"};

struct ReadyCase
{
    const char *name;
    QByteArray configIni; // empty: no update.ini, the stable channel
    int version;
    QString versionString;
};

TEST(VersionQuery, ValidAnswerMakesConfigurationReadyWithTheChannelsVersion)
{
    const ReadyCase cases[] = {
        {"stable", {}, 10, "1.10"},
        {"beta, the largest version", kBetaIni, 2147483647, "1.11-beta"},
        {"alpha without its own version", kAlphaIni, 12, "1.12a"},
    };
    for (const ReadyCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        AppDirIni appIni;
        if (!c.configIni.isEmpty()) {
            ASSERT_TRUE(Sandbox::writeFile(sandbox.configDir() + "update.ini", c.configIni));
        }
        VersionServer server;
        ASSERT_TRUE(server.started());
        server.setAnswer(kId7 + kStable10 + kBetaIntMax + kAlpha12);

        Configuration config;
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        ASSERT_TRUE(config.parseCommandLineOptions(kAskServer));
        EXPECT_FALSE(config.m_valid); // not before the answer

        ASSERT_TRUE(ready.wait(20000));
        EXPECT_EQ(ready.count(), 1);
        EXPECT_EQ(fatal.count(), 0);
        EXPECT_TRUE(config.m_valid);
        EXPECT_EQ(config.m_version, c.version);
        EXPECT_EQ(config.m_versionString.toStdString(), c.versionString.toStdString());
        EXPECT_EQ(server.queryCount(), 1);
        // The checker goes once it has answered.
        QTRY_VERIFY(config.findChildren<UpdateChecker *>().isEmpty());
    }
}

struct UnusableCase
{
    const char *name;
    int status;
    QByteArray body;
    bool withMainWindow;
};

TEST(VersionQuery, UnusableAnswerShowsAbortBoxAndQuitsWithZero)
{
    const UnusableCase cases[] = {
        {"no versions", 200, kId7, false},
        {"failed download", 404, {}, false},
        {"undecodable answer", 200, "<html><body>Bad Gateway</body></html>", false},
        {"empty body", 200, "", false},
        {"box over the main window", 500, {}, true},
    };
    for (const UnusableCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        AppDirIni appIni;
        VersionServer server;
        ASSERT_TRUE(server.started());
        if (c.status == 200)
            server.setAnswer(c.body);
        else if (c.status != 404)
            server.http().addFault(server.path(), HttpTestServer::Fault::withStatus(c.status));
        // Hidden top-level widgets count as well, so the window exists only where the case wants one.
        std::unique_ptr<QWidget> other;
        std::unique_ptr<QWidget> window;
        if (c.withMainWindow) {
            other = std::make_unique<QWidget>(); // another name: no parent for the box
            window = std::make_unique<QWidget>();
            window->setObjectName("MainWindow");
        }

        Configuration config;
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        ASSERT_TRUE(config.parseCommandLineOptions(kAskServer));
        // The first message box is recorded and answered with Abort.
        BoxAnswerer boxes;
        boxes.answer("Error", QMessageBox::Abort);
        EXPECT_EQ(runApplication([] {}), 0);

        ASSERT_FALSE(boxes.boxes().isEmpty());
        const BoxAnswerer::Box box = boxes.boxes().first();
        EXPECT_EQ(box.title, QString("Error"));
        EXPECT_EQ(box.text, QString("Failed to query latest client\nversion from update server."));
        EXPECT_EQ(box.icon, QMessageBox::Critical);
        EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Abort));
        EXPECT_EQ(box.parent, window.get());
        EXPECT_EQ(ready.count(), 0);
        EXPECT_EQ(fatal.count(), 0);
        EXPECT_FALSE(config.m_valid);
        EXPECT_EQ(server.queryCount(), 1);
    }
}

struct FatalCase
{
    const char *name;
    QByteArray configIni;
    QByteArray answer;
    QString error;
};

TEST(VersionQuery, MissingOrUnusableVersionIsFatal)
{
    const FatalCase cases[] = {
        {"chosen channel missing", kAlphaIni, kId7 + kStable10 + kBetaIntMax, "Update server returned no version"},
        {"negative version", {}, kId7 + kStableMinus1, "Update server returned invalid version nr (4294967295)"},
        {"version beyond int", {}, kId7 + kStableIntMin, "Update server returned invalid version nr (2147483648)"},
    };
    for (const FatalCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        AppDirIni appIni;
        if (!c.configIni.isEmpty()) {
            ASSERT_TRUE(Sandbox::writeFile(sandbox.configDir() + "update.ini", c.configIni));
        }
        VersionServer server;
        ASSERT_TRUE(server.started());
        server.setAnswer(c.answer);

        Configuration config;
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        ASSERT_TRUE(config.parseCommandLineOptions(kAskServer));
        ASSERT_TRUE(fatal.wait(20000));
        ASSERT_EQ(fatal.count(), 1);
        EXPECT_EQ(fatal.at(0).at(0).toString().toStdString(), c.error.toStdString());
        EXPECT_EQ(ready.count(), 0);
        EXPECT_FALSE(config.m_valid);
        EXPECT_EQ(config.m_version, 0);
        QTRY_VERIFY(config.findChildren<UpdateChecker *>().isEmpty());
    }
}

// The run may end before the server answers (the window closed, main returning): the query's thread must
// end with the configuration, not outlive it into the process's exit.
TEST(VersionQuery, RunEndingBeforeTheAnswerEndsTheQuery)
{
    Sandbox sandbox;
    AppDirIni appIni;
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    ScopedVersionQueryUrl url(QString("http://127.0.0.1:%1/cv5-client-2").arg(silent.serverPort()));
    QSignalSpy connected(&silent, &QTcpServer::newConnection);
    QTcpSocket *socket = nullptr;
    {
        Configuration config;
        ASSERT_TRUE(config.parseCommandLineOptions(kAskServer));
        ASSERT_TRUE(connected.wait(20000));
        socket = silent.nextPendingConnection();
        ASSERT_NE(socket, nullptr);
    }
    // Well before the request's own time-out.
    QSignalSpy closed(socket, &QTcpSocket::disconnected);
    EXPECT_TRUE(socket->state() == QAbstractSocket::UnconnectedState || closed.wait(10000));
}

// A version on the command line, or the alpha channel's own, means the server is never asked.
TEST(VersionQuery, KnownVersionAsksNoServer)
{
    struct Case
    {
        const char *name;
        QByteArray configIni;
        QStringList arguments;
    } cases[] = {
        {"version on the command line", {}, {"update", "--clientupdate", "client_linux_x86", "3"}},
        {"alpha channel's version", "[Channel]\nalpha=http://alpha.example/tree\nalphaRevno=7\n", {"update"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        AppDirIni appIni;
        if (!c.configIni.isEmpty()) {
            ASSERT_TRUE(Sandbox::writeFile(sandbox.configDir() + "update.ini", c.configIni));
        }
        VersionServer server;
        ASSERT_TRUE(server.started());
        server.setAnswer(kId7 + kStable10);

        Configuration config;
        ASSERT_TRUE(config.parseCommandLineOptions(c.arguments));
        EXPECT_TRUE(config.m_valid);
        EXPECT_TRUE(config.findChildren<UpdateChecker *>().isEmpty());
        EXPECT_EQ(server.queryCount(), 0);
    }
}

} // namespace
