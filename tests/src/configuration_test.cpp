#include "configuration.h"
#include "globals.h"
#include "updateinidata.h"

#include "support/appdirini.h"
#include "support/sandbox.h"
#include "support/versionserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

// Versions message: licenseAgreementId 1, channels stable, beta and alpha, each version 5 "5".
const QByteArray kAnswerForEveryChannel("\x08\x01"
                                        "\x12\x0D\x0A\x06stable\x10\x05\x1A\x01"
                                        "5"
                                        "\x12\x0B\x0A\x04"
                                        "beta\x10\x05\x1A\x01"
                                        "5"
                                        "\x12\x0C\x0A\x05"
                                        "alpha\x10\x05\x1A\x01"
                                        "5");

QStringList commandLine(const QStringList &arguments)
{
    return QStringList {"update"} + arguments;
}

QStringList entries(const QString &dir)
{
    // System: dangling links too.
    return QDir(dir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

struct CommandLineCase
{
    const char *name;
    QStringList arguments;
    QByteArray appDirIni; // empty: no update.ini anywhere
    bool ok;
    int clientUpdate;
    QString clientType;
    int version;
    QString versionString;
    bool valid; // false after success: the version server has to be asked
    QString fatalError;
};

TEST(Configuration, ParsesCommandLineForms)
{
    const QByteArray alpha7 = "[Channel]\nalpha=http://alpha.example/tree\nalphaRevno=7\n";
    const QByteArray alpha0 = "[Channel]\nalpha=http://alpha.example/tree\n";
    const CommandLineCase cases[] = {
        {"clientupdate alone asks the server", {"--clientupdate"}, {}, true, 1, "client_linux_x86", 0, "", false, ""},
        {"no arguments", {}, {}, true, 0, "update_linux_x86", 0, "", false, ""},
        {"single other argument", {"client_linux_x86"}, {}, true, 0, "update_linux_x86", 0, "", false, ""},
        {"flag plus one argument ignores it",
         {"--clientupdate", "foo_type"},
         {},
         true,
         1,
         "client_linux_x86",
         0,
         "",
         false,
         ""},
        {"nouser plus one argument ignores it",
         {"--nouser", "foo_type"},
         {},
         true,
         0,
         "update_linux_x86",
         0,
         "",
         false,
         ""},
        {"nouser with type and version",
         {"--nouser", "client_linux_x86", "3"},
         {},
         true,
         0,
         "client_linux_x86",
         3,
         "",
         true,
         ""},
        {"two plain arguments", {"client_linux_x86", "3"}, {}, true, 0, "client_linux_x86", 3, "", true, ""},
        {"hash means no version string",
         {"--clientupdate", "client_linux_x86", "3", "#"},
         {},
         true,
         1,
         "client_linux_x86",
         3,
         "",
         true,
         ""},
        {"version string",
         {"--clientupdate", "client_linux_x86", "3", "3.1.4"},
         {},
         true,
         1,
         "client_linux_x86",
         3,
         "3.1.4",
         true,
         ""},
        {"arguments past the fourth are ignored",
         {"--clientupdate", "t", "5", "s", "extra"},
         {},
         true,
         1,
         "t",
         5,
         "s",
         true,
         ""},
        {"empty package type gets the default",
         {"--clientupdate", "", "4"},
         {},
         true,
         1,
         "client_linux_x86",
         4,
         "",
         true,
         ""},
        {"plain form with version 0 asks no server",
         {"client_linux_x86", "0"},
         {},
         true,
         0,
         "client_linux_x86",
         0,
         "",
         true,
         ""},
        {"nouser with version 0 asks the server",
         {"--nouser", "client_linux_x86", "0"},
         {},
         true,
         0,
         "client_linux_x86",
         0,
         "",
         false,
         ""},
        {"three plain arguments are no form", {"a", "b", "c"}, {}, true, 0, "update_linux_x86", 0, "", false, ""},
        {"flags are case-sensitive", {"--CLIENTUPDATE", "t", "3"}, {}, true, 0, "update_linux_x86", 0, "", false, ""},
        {"plain form, bad version",
         {"client_linux_x86", "abc"},
         {},
         false,
         0,
         "client_linux_x86",
         0,
         "",
         false,
         "Invalid version nr (abc)"},
        {"flag form, bad version",
         {"--clientupdate", "client_linux_x86", "3x", "#"},
         {},
         false,
         1,
         "client_linux_x86",
         0,
         "",
         false,
         "Invalid version nr (3x)"},
        {"flag form, empty version", {"--nouser", "t", ""}, {}, false, 0, "t", 0, "", false, "Invalid version nr ()"},
        {"alpha version wins over the command line",
         {"client_linux_x86", "3"},
         alpha7,
         true,
         0,
         "client_linux_x86",
         7,
         "",
         true,
         ""},
        {"alpha version wins over a bad version",
         {"--clientupdate", "client_linux_x86", "abc", "2.0"},
         alpha7,
         true,
         1,
         "client_linux_x86",
         7,
         "2.0",
         true,
         ""},
        {"alpha version needs no server", {"--clientupdate"}, alpha7, true, 1, "client_linux_x86", 7, "", true, ""},
        {"alpha without revno asks the server",
         {"--clientupdate"},
         alpha0,
         true,
         1,
         "client_linux_x86",
         0,
         "",
         false,
         ""},
    };
    for (const CommandLineCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        AppDirIni ini;
        if (!c.appDirIni.isEmpty()) {
            ASSERT_TRUE(ini.write(c.appDirIni));
        }
        // A query the command line starts stays on this machine.
        VersionServer versions;
        ASSERT_TRUE(versions.started());
        versions.setAnswer(kAnswerForEveryChannel);
        Configuration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        QSignalSpy ready(&config, &Configuration::ready);

        EXPECT_EQ(config.parseCommandLineOptions(commandLine(c.arguments)), c.ok);
        EXPECT_EQ(config.m_clientUpdate, c.clientUpdate);
        EXPECT_EQ(config.m_clientType, c.clientType);
        EXPECT_EQ(config.m_version, c.version);
        EXPECT_EQ(config.m_versionString, c.versionString);
        EXPECT_EQ(config.m_valid, c.valid);
        // The version server is asked exactly when the target version is still unknown.
        EXPECT_EQ(config.findChildren<UpdateChecker *>().size(), c.ok && !c.valid ? 1 : 0);
        EXPECT_EQ(ready.count(), 0);
        if (c.fatalError.isEmpty()) {
            EXPECT_EQ(fatal.count(), 0);
        } else {
            ASSERT_EQ(fatal.count(), 1);
            EXPECT_EQ(fatal.at(0).at(0).toString(), c.fatalError);
        }
    }
}

struct ChannelCase
{
    const char *name;
    QByteArray configIni; // written to the configuration directory when not null
    QByteArray appDirIni; // written beside the program when not null
    int channel;
    int version;
    QString baseUrl; // empty: the stable/beta default
};

TEST(Configuration, FindsChannelInFirstUpdateIni)
{
    // Stable and beta share the file server's fixed tree.
    const QString defaultUrl = defaultUpdateBaseUrl();
    ASSERT_TRUE(defaultUrl.startsWith("http://"));
    ASSERT_TRUE(defaultUrl.endsWith("/updater-images/client/"));
    const ChannelCase cases[] = {
        {"no update.ini", {}, {}, 0, 0, ""},
        {"alpha without trailing slash",
         "[Channel]\nalpha=http://a.example/tree\nalphaRevno=12\n",
         {},
         2,
         12,
         "http://a.example/tree/"},
        {"alpha with trailing slash", "[Channel]\nalpha=http://a.example/tree/\n", {}, 2, 0, "http://a.example/tree/"},
        {"alpha revno not a number",
         "[Channel]\nalpha=http://a.example/\nalphaRevno=seven\n",
         {},
         2,
         0,
         "http://a.example/"},
        {"alpha wins over beta", "[Channel]\nalpha=http://a.example/\nbeta=true\n", {}, 2, 0, "http://a.example/"},
        {"beta", "[Channel]\nbeta=true\n", {}, 1, 0, ""},
        {"Beta when beta is false", "[Channel]\nbeta=false\nBeta=true\n", {}, 1, 0, ""},
        {"Beta false", "[Channel]\nBeta=false\n", {}, 0, 0, ""},
        {"revno without alpha is ignored", "[Channel]\nalphaRevno=9\n", {}, 0, 0, ""},
        {"keys outside the group are ignored", "alpha=http://a.example/\n[update]\nbeta=true\n", {}, 0, 0, ""},
        {"program directory when config has none",
         {},
         "[Channel]\nalpha=http://b.example\n",
         2,
         0,
         "http://b.example/"},
        {"configuration directory comes first", "[Channel]\nbeta=1\n", "[Channel]\nalpha=http://b.example\n", 1, 0, ""},
        {"an empty file in the configuration directory still counts", "", "[Channel]\nalpha=http://b.example\n", 0, 0,
         ""},
    };
    for (const ChannelCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        AppDirIni ini;
        if (!c.configIni.isNull()) {
            ASSERT_TRUE(Sandbox::writeFile(sandbox.configDir() + "update.ini", c.configIni));
        }
        if (!c.appDirIni.isNull()) {
            ASSERT_TRUE(ini.write(c.appDirIni));
        }
        updateBaseUrl = "stale";
        Configuration config;
        config.m_version = 99; // every lookup sets it

        config.getUpdateChannel();
        EXPECT_EQ(config.m_channel, c.channel);
        EXPECT_EQ(config.m_version, c.version);
        EXPECT_EQ(updateBaseUrl, c.baseUrl.isEmpty() ? defaultUrl : c.baseUrl);
    }
}

struct ConfigDirCase
{
    const char *name;
    const char *value; // nullptr: unset
    const char *expectedBelowRoot; // relative to the sandbox root
};

TEST(Configuration, ConfigDirFromEnvironment)
{
    const ConfigDirCase cases[] = {
        {"without trailing separator", "/cfg dir", "/cfg dir/"},
        {"with trailing separator", "/cfg dir/", "/cfg dir/"},
        {"empty means unset", "", "/home/.cv5client/"},
        {"unset", nullptr, "/home/.cv5client/"},
    };
    for (const ConfigDirCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        if (!c.value)
            sandbox.unsetEnv("CV5_CONFIG_DIR");
        else
            sandbox.setEnv("CV5_CONFIG_DIR", *c.value ? (sandbox.root() + c.value).toUtf8() : QByteArray(""));
        Configuration config;
        EXPECT_EQ(config.configDir(), sandbox.root() + c.expectedBelowRoot);
    }
}

TEST(Configuration, ChannelLookupFollowsConfigDir)
{
    // The same beta file, found through each way of naming the configuration directory.
    const ConfigDirCase cases[] = {
        {"without trailing separator", "/cfg dir", "/cfg dir/"},
        {"with trailing separator", "/cfg dir/", "/cfg dir/"},
        {"empty falls back to the home directory", "", "/home/.cv5client/"},
    };
    for (const ConfigDirCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        AppDirIni ini;
        sandbox.setEnv("CV5_CONFIG_DIR", *c.value ? (sandbox.root() + c.value).toUtf8() : QByteArray(""));
        ASSERT_TRUE(Sandbox::writeFile(sandbox.root() + c.expectedBelowRoot + "update.ini", "[Channel]\nbeta=true\n"));
        Configuration config;
        config.getUpdateChannel();
        EXPECT_EQ(config.m_channel, 1);
    }
}

struct UpdateGroupCase
{
    const char *name;
    QByteArray ini; // null: no update.ini
    QString proxy;
    int streams;
};

TEST(Configuration, ReadsDownloadSettings)
{
    const UpdateGroupCase cases[] = {
        {"no update.ini", {}, "", 6},
        {"no group", "[Channel]\nbeta=true\n", "", 6},
        {"streams set", "[update]\nstreams=3\n", "", 3},
        {"streams 1", "[update]\nstreams=1\n", "", 1},
        {"streams 0", "[update]\nstreams=0\n", "", 6},
        {"streams negative", "[update]\nstreams=-4\n", "", 6},
        {"streams not a number", "[update]\nstreams=many\n", "", 6},
        {"proxy", "[update]\nproxy=http://user:pw@proxy.example:8080\nstreams=2\n", "http://user:pw@proxy.example:8080",
         2},
        {"keys of another group", "[Channel]\nproxy=http://proxy.example\nstreams=2\n", "", 6},
    };
    for (const UpdateGroupCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        AppDirIni ini;
        if (!c.ini.isNull()) {
            ASSERT_TRUE(ini.write(c.ini));
        }
        // The configuration directory is not consulted for these keys.
        ASSERT_TRUE(Sandbox::writeFile(sandbox.configDir() + "update.ini", "[update]\nproxy=wrong\nstreams=9\n"));
        Configuration config;
        config.readUpdateIni();
        EXPECT_EQ(config.m_proxy, c.proxy);
        EXPECT_EQ(config.m_streams, c.streams);
    }
}

TEST(Configuration, CreatesFirstFreeTempDir)
{
    struct Case
    {
        const char *name;
        QStringList dirs; // existing directories in the temporary directory
        QStringList files; // existing plain files there
        QString expected;
        QStringList links = {}; // existing links there, to the sandbox's "elsewhere" (which may not exist)
        bool elsewhereExists = false;
    };
    const Case cases[] = {
        {"empty temporary directory", {}, {}, "corvalink_temp_0"},
        {"0 and 1 taken", {"corvalink_temp_0", "corvalink_temp_1"}, {}, "corvalink_temp_2"},
        {"a gap is used", {"corvalink_temp_0", "corvalink_temp_2"}, {}, "corvalink_temp_1"},
        {"a file cannot become the directory", {}, {"corvalink_temp_0"}, "corvalink_temp_1"},
        // Another user's link is never used, whether or not it leads to a directory.
        {"a link to a directory", {}, {}, "corvalink_temp_1", {"corvalink_temp_0"}, true},
        {"a dangling link", {}, {}, "corvalink_temp_1", {"corvalink_temp_0"}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        const QString elsewhere = sandbox.path("elsewhere");
        if (c.elsewhereExists) {
            ASSERT_TRUE(QDir().mkpath(elsewhere));
        }
        for (const QString &dir : c.dirs)
            ASSERT_TRUE(QDir().mkpath(sandbox.tempDir() + "/" + dir));
        for (const QString &file : c.files)
            ASSERT_TRUE(Sandbox::writeFile(sandbox.tempDir() + "/" + file, "x"));
        for (const QString &link : c.links)
            ASSERT_TRUE(QFile::link(elsewhere, sandbox.tempDir() + "/" + link));
        Configuration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);

        ASSERT_TRUE(config.initalizeStart(QString(), QString()));
        EXPECT_EQ(config.m_tempDir, sandbox.tempDir() + "/" + c.expected);
        EXPECT_TRUE(QFileInfo(config.m_tempDir).isDir());
        // Private: other users share the temporary directory.
        EXPECT_EQ(QFileInfo(config.m_tempDir).permissions(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                      QFileDevice::ExeOwner | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
        EXPECT_EQ(config.m_installDir, Configuration::applicationDir());
        EXPECT_EQ(fatal.count(), 0);
        EXPECT_EQ(QFileInfo::exists(elsewhere), c.elsewhereExists);
        EXPECT_EQ(entries(elsewhere), QStringList());
        // Nothing else was created or removed.
        QStringList expectedEntries = c.dirs + c.files + c.links + QStringList {c.expected};
        expectedEntries.sort();
        EXPECT_EQ(entries(sandbox.tempDir()), expectedEntries);
    }
}

TEST(Configuration, EveryNumberedNameTakenGivesAnUnpredictableOne)
{
    // Another user can take all thousand numbered names; the update must still get a private directory, and
    // the session record must accept it as the session's.
    Sandbox sandbox;
    for (int n = 0; n <= 999; ++n)
        ASSERT_TRUE(QDir().mkpath(sandbox.tempDir() + "/corvalink_temp_" + QString::number(n)));
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);

    ASSERT_TRUE(config.initalizeStart(QString(), QString()));
    EXPECT_EQ(fatal.count(), 0);
    const QString name = QFileInfo(config.m_tempDir).fileName();
    EXPECT_TRUE(QRegularExpression("^corvalink_temp_[A-Za-z0-9]{6}$").match(name).hasMatch()) << name.toStdString();
    EXPECT_EQ(QFileInfo(config.m_tempDir).path(), sandbox.tempDir());
    EXPECT_EQ(QFileInfo(config.m_tempDir).permissions(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                  QFileDevice::ExeOwner | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
    AppDirIni ini;
    ASSERT_TRUE(UpdateIniData::modify(2, config.m_tempDir, QString(), "client_linux_x86"));
    QString dir;
    EXPECT_TRUE(UpdateIniData::get(nullptr, nullptr, &dir, nullptr));
    EXPECT_EQ(dir, config.m_tempDir);
}

TEST(Configuration, ReportsMissingTemporaryDirectory)
{
    // Qt gives no temporary path at all when TMPDIR names nothing that exists.
    Sandbox sandbox;
    sandbox.setEnv("TMPDIR", sandbox.path("not there").toUtf8());
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);

    EXPECT_FALSE(config.initalizeStart(QString(), QString()));
    ASSERT_EQ(fatal.count(), 1);
    EXPECT_EQ(fatal.at(0).at(0).toString(), "Unable to get temp directory.");
    EXPECT_EQ(config.m_tempDir, QString());
    EXPECT_FALSE(QFileInfo::exists(sandbox.path("not there")));
}

TEST(Configuration, ReportsTempDirThatCannotBeCreated)
{
    // A plain file as the temporary directory: no "corvalink_temp_<n>" can be made below it.
    Sandbox sandbox;
    const QString blocker = sandbox.root() + "/blocker";
    ASSERT_TRUE(Sandbox::writeFile(blocker, "x"));
    sandbox.setEnv("TMPDIR", blocker.toUtf8());
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);

    EXPECT_FALSE(config.initalizeStart(QString(), "/somewhere"));
    ASSERT_EQ(fatal.count(), 1);
    EXPECT_EQ(fatal.at(0).at(0).toString(), "Unable to create temp directory.");
    EXPECT_EQ(config.m_tempDir, QString());
    EXPECT_EQ(config.m_installDir, QString());
}

TEST(Configuration, KeepsDirectoriesOfPreviousSession)
{
    Sandbox sandbox;
    Configuration config;
    ASSERT_TRUE(config.initalizeStart(sandbox.path("old session"), sandbox.path("install")));
    EXPECT_EQ(config.m_tempDir, sandbox.path("old session"));
    EXPECT_EQ(config.m_installDir, sandbox.path("install"));
    EXPECT_EQ(entries(sandbox.tempDir()), QStringList()); // no new directory made
}
