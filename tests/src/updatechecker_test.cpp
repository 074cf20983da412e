#include "updatechecker.h"

#include "support/versionserver.h"

#include <QHostAddress>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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
const QByteArray kBeta11("\x12\x13"
                         "\x0A\x04"
                         "beta"
                         "\x10\x0B"
                         "\x1A\x09"
                         "1.11-beta");
const QByteArray kAlpha12("\x12\x10"
                          "\x0A\x05"
                          "alpha"
                          "\x10\x0C"
                          "\x1A\x05"
                          "1.12a");

// Sorted "name=number|string" lines, so that a mismatch prints readably.
std::vector<std::string> lines(const UpdateVersions &versions)
{
    std::vector<std::string> out;
    for (auto it = versions.begin(); it != versions.end(); ++it)
        out.push_back((it.key() + "=" + it.value().first + "|" + it.value().second).toStdString());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(UpdateChecker, VersionForChannelReadsOnlyTheChosenChannel)
{
    const UpdateVersions all = {{"stable", {"10", "1.10"}},
                                {"beta", {"11", "1.11-beta"}},
                                {"alpha", {"12", "1.12a"}},
                                {"gamma", {"13", "1.13g"}}};
    const UpdateVersions noBeta = {{"stable", {"10", "1.10"}}, {"Beta", {"11", "1.11-beta"}}};
    struct Case
    {
        const char *name;
        UpdateVersions versions;
        int channel;
        QString number;
        QString text;
    } cases[] = {
        {"stable", all, 0, "10", "1.10"},
        {"beta", all, 1, "11", "1.11-beta"},
        {"alpha", all, 2, "12", "1.12a"},
        {"number below the channels", all, -1, "", ""},
        {"number above the channels", all, 3, "", ""},
        {"channel missing (names are case-sensitive)", noBeta, 1, "", ""},
        {"empty answer", {}, 0, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QPair<QString, QString> version = UpdateChecker::versionForChannel(c.versions, c.channel);
        EXPECT_EQ(version.first.toStdString(), c.number.toStdString());
        EXPECT_EQ(version.second.toStdString(), c.text.toStdString());
    }
}

TEST(UpdateChecker, TurnsTheAnswerIntoVersionsOnceAndDeletesItself)
{
    struct Case
    {
        const char *name;
        QByteArray body;
        std::vector<std::string> versions;
    } cases[] = {
        {"three channels",
         kId7 + kStable10 + kBeta11 + kAlpha12,
         {"alpha=12|1.12a", "beta=11|1.11-beta", "stable=10|1.10"}},
        // -1 travels as a ten-byte varint and reads back as the unsigned 32-bit value.
        {"negative version number",
         kId7 +
             QByteArray("\x12\x16"
                        "\x0A\x06"
                        "stable"
                        "\x10\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01"
                        "\x1A\x01"
                        "x"),
         {"stable=4294967295|x"}},
        {"same name twice keeps the first version",
         kId7 + kStable10 +
             QByteArray("\x12\x10"
                        "\x0A\x06"
                        "stable"
                        "\x10\x0B"
                        "\x1A\x04"
                        "1.11"),
         {"stable=10|1.10"}},
        {"failed download", QByteArray(), {}},
        {"no channels", kId7, {}},
        {"undecodable", "<html>502</html>", {}},
        {"channel without version string",
         kId7 +
             QByteArray("\x12\x0A"
                        "\x0A\x06"
                        "stable"
                        "\x10\x0A"),
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QPointer<UpdateChecker> checker = new UpdateChecker;
        QSignalSpy available(checker.data(), &UpdateChecker::update_available);
        checker->on_updateCheckAvailable(c.body);
        ASSERT_EQ(available.count(), 1);
        EXPECT_EQ(lines(available.at(0).at(0).value<UpdateVersions>()), c.versions);
        QTRY_VERIFY(checker.isNull());
    }
}

TEST(UpdateChecker, DecodesNamesAndVersionStringsAsUtf8)
{
    // name "bêta" and version string "2.0 ü" in UTF-8, version 20
    const QByteArray body = kId7 +
        QByteArray("\x12\x11"
                   "\x0A\x05"
                   "b\xC3\xAA"
                   "ta"
                   "\x10\x14"
                   "\x1A\x06"
                   "2.0 \xC3\xBC");
    auto *checker = new UpdateChecker;
    QSignalSpy available(checker, &UpdateChecker::update_available);
    checker->on_updateCheckAvailable(body);
    ASSERT_EQ(available.count(), 1);
    const UpdateVersions versions = available.at(0).at(0).value<UpdateVersions>();
    ASSERT_EQ(versions.size(), 1);
    const QPair<QString, QString> entry = versions.value(QString::fromUtf16(u"b\u00EAta"));
    EXPECT_EQ(entry.first, QString("20"));
    EXPECT_EQ(entry.second, QString::fromUtf16(u"2.0 \u00FC"));
}

TEST(UpdateChecker, QueriesTheVersionServerWithGet)
{
    VersionServer server;
    ASSERT_TRUE(server.started());
    server.setAnswer(kId7 + kStable10 + kAlpha12);

    QPointer<UpdateChecker> checker = new UpdateChecker;
    QSignalSpy available(checker.data(), &UpdateChecker::update_available);
    checker->checkForUpdates();
    ASSERT_TRUE(available.wait(20000));
    EXPECT_EQ(lines(available.at(0).at(0).value<UpdateVersions>()),
              (std::vector<std::string> {"alpha=12|1.12a", "stable=10|1.10"}));
    ASSERT_EQ(server.http().requests().size(), 1);
    EXPECT_EQ(server.http().requests().at(0).method, QByteArray("GET"));
    EXPECT_EQ(server.http().requests().at(0).path, QString("/cv5-client-2"));
    QTRY_VERIFY(checker.isNull());
    EXPECT_EQ(available.count(), 1);
}

// A server that accepts the connection and then never says a word must not hold the update for ever.
TEST(UpdateChecker, SilentServerEndsByTheRequestTimeout)
{
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    ScopedVersionQueryUrl url(QString("http://127.0.0.1:%1/cv5-client-2").arg(silent.serverPort()));

    auto *checker = new UpdateChecker;
    QSignalSpy available(checker, &UpdateChecker::update_available);
    checker->checkForUpdates(300);
    ASSERT_TRUE(available.wait(20000));
    EXPECT_TRUE(available.at(0).at(0).value<UpdateVersions>().isEmpty());
    EXPECT_TRUE(silent.hasPendingConnections());
}

} // namespace
