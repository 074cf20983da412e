#include "updateinidata.h"

#include "support/appdirini.h"
#include "support/sandbox.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

QByteArray record(const QString &version, const QString &dir, const QString &cv5dir, const QString &type)
{
    QByteArray ini = "[current]\n";
    if (!version.isNull())
        ini += "version=" + version.toUtf8() + "\n";
    if (!dir.isNull())
        ini += "dir=" + dir.toUtf8() + "\n";
    if (!cv5dir.isNull())
        ini += "cv5dir=" + cv5dir.toUtf8() + "\n";
    if (!type.isNull())
        ini += "type=" + type.toUtf8() + "\n";
    return ini;
}

const QByteArray kUserGroups = "[Channel]\nalpha=http://alpha.example/tree/\nalphaRevno=77\n\n"
                               "[update]\nproxy=http://proxy.example:8080\nstreams=3\n\n";

void expectUserGroupsKept(const QString &path)
{
    QSettings ini(path, QSettings::IniFormat);
    EXPECT_EQ(ini.value("Channel/alpha").toString(), "http://alpha.example/tree/");
    EXPECT_EQ(ini.value("Channel/alphaRevno").toString(), "77");
    EXPECT_EQ(ini.value("update/proxy").toString(), "http://proxy.example:8080");
    EXPECT_EQ(ini.value("update/streams").toString(), "3");
}

} // namespace

TEST(UpdateIniData, GetAcceptsOnlyCompleteRecordsOfSessionDirectories)
{
    Sandbox box;
    AppDirIni programIni;
    const QString session = box.tempDir() + "/corvalink_temp_7";
    ASSERT_TRUE(QDir().mkpath(session));
    ASSERT_TRUE(QDir().mkpath(box.tempDir() + "/corvalink_temp_8/sub"));
    ASSERT_TRUE(QDir().mkpath(box.tempDir() + "/corvalink_temp_x"));
    ASSERT_TRUE(Sandbox::writeFile(box.tempDir() + "/corvalink_temp_9", "a file"));
    ASSERT_TRUE(QFile::link(box.homeDir(), box.tempDir() + "/corvalink_temp_5"));
    ASSERT_TRUE(QFile::link(session, box.tempDir() + "/corvalink_temp_6"));
    // Directories another local user could have made under a recorded name.
    ASSERT_TRUE(QDir().mkpath(box.tempDir() + "/corvalink_temp_3"));
    ASSERT_EQ(chmod(QFile::encodeName(box.tempDir() + "/corvalink_temp_3").constData(), 0770), 0);
    ASSERT_TRUE(QDir().mkpath(box.tempDir() + "/corvalink_temp_2"));
    ASSERT_EQ(chmod(QFile::encodeName(box.tempDir() + "/corvalink_temp_2").constData(), 0703), 0);
    // Handing a directory to another user needs root (as in CI); without it that case is left out.
    const bool otherOwner = ::geteuid() == 0;
    if (otherOwner) {
        ASSERT_TRUE(QDir().mkpath(box.tempDir() + "/corvalink_temp_1"));
        ASSERT_EQ(::chown(QFile::encodeName(box.tempDir() + "/corvalink_temp_1").constData(), 65534, 65534), 0);
    }

    const QString type = "update_linux_x86";
    struct Case
    {
        const char *name;
        QByteArray ini; // empty: no file
        bool usable;
        QString cv5dir;
    };
    std::vector<Case> cases = {
        {"no file", {}, false, {}},
        {"complete", record("5", session, "/opt/cv5", type), true, "/opt/cv5"},
        {"cv5dir missing", record("5", session, {}, type), true, ""},
        {"version not a number", record("five", session, "/opt/cv5", type), false, {}},
        {"version missing", record({}, session, "/opt/cv5", type), false, {}},
        {"type empty", record("5", session, "/opt/cv5", ""), false, {}},
        {"dir empty", record("5", "", "/opt/cv5", type), false, {}},
        {"dir gone", record("5", box.tempDir() + "/corvalink_temp_4", "", type), false, {}},
        {"dir relative", record("5", "corvalink_temp_7", "", type), false, {}},
        {"dir is the home directory", record("5", box.homeDir(), "", type), false, {}},
        {"dir is the system temporary directory", record("5", box.tempDir(), "", type), false, {}},
        {"dir is the root", record("5", "/", "", type), false, {}},
        {"dir climbs out of a session", record("5", session + "/..", "", type), false, {}},
        {"dir inside a session", record("5", box.tempDir() + "/corvalink_temp_8/sub", "", type), false, {}},
        {"dir without a number", record("5", box.tempDir() + "/corvalink_temp_x", "", type), false, {}},
        {"dir is a file", record("5", box.tempDir() + "/corvalink_temp_9", "", type), false, {}},
        {"dir links to the home directory", record("5", box.tempDir() + "/corvalink_temp_5", "", type), false, {}},
        {"dir links to a session", record("5", box.tempDir() + "/corvalink_temp_6", "", type), false, {}},
        {"dir writable by the group", record("5", box.tempDir() + "/corvalink_temp_3", "", type), false, {}},
        {"dir writable by others", record("5", box.tempDir() + "/corvalink_temp_2", "", type), false, {}},
    };
    if (otherOwner)
        cases.push_back({"dir of another user", record("5", box.tempDir() + "/corvalink_temp_1", "", type), false, {}});
    int padding = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(AppDirIni::path());
        if (!c.ini.isEmpty()) {
            // QSettings keeps a parsed file per process and reads it again only when its size or time stamp
            // changed. Two records of the same size written within one tick would let the earlier one answer
            // for the later, so every record gets a size of its own.
            ASSERT_TRUE(programIni.write(c.ini + QByteArray(++padding, '\n')));
        }

        int version = -1;
        QString gotType = "untouched";
        QString dir = "untouched";
        QString cv5dir = "untouched";
        ASSERT_EQ(UpdateIniData::get(&version, &gotType, &dir, &cv5dir), c.usable);
        if (c.usable) {
            EXPECT_EQ(version, 5);
            EXPECT_EQ(gotType, type);
            EXPECT_EQ(dir, session);
            EXPECT_EQ(cv5dir, c.cv5dir);
        } else {
            EXPECT_EQ(version, -1);
            EXPECT_EQ(gotType, "untouched");
            EXPECT_EQ(dir, "untouched");
            EXPECT_EQ(cv5dir, "untouched");
        }
    }
    EXPECT_TRUE(QFileInfo::exists(box.homeDir()));
}

TEST(UpdateIniData, GetDeliversOnlyThroughNonNullPointers)
{
    Sandbox box;
    AppDirIni programIni;
    const QString session = box.tempDir() + "/corvalink_temp_0";
    ASSERT_TRUE(QDir().mkpath(session));
    ASSERT_TRUE(programIni.write(record("12", session, "/opt/cv5", "client_linux_x86")));

    int version = 0;
    QString dir;
    EXPECT_TRUE(UpdateIniData::get(&version, nullptr, &dir, nullptr));
    EXPECT_EQ(version, 12);
    EXPECT_EQ(dir, session);
}

TEST(UpdateIniData, ModifyWritesTheRecordAndKeepsTheUserGroups)
{
    Sandbox box;
    AppDirIni programIni;
    const QString session = box.tempDir() + "/corvalink_temp_3";
    ASSERT_TRUE(QDir().mkpath(session));
    ASSERT_TRUE(programIni.write(kUserGroups + record("1", "/old", "/old", "old_type")));

    ASSERT_TRUE(UpdateIniData::modify(42, session, "/opt/cv5 client", "update_linux_x86"));

    expectUserGroupsKept(AppDirIni::path());
    QSettings ini(AppDirIni::path(), QSettings::IniFormat);
    EXPECT_EQ(ini.value("current/version").toString(), "42");
    EXPECT_EQ(ini.value("current/dir").toString(), session);
    EXPECT_EQ(ini.value("current/cv5dir").toString(), "/opt/cv5 client");
    EXPECT_EQ(ini.value("current/type").toString(), "update_linux_x86");
}

TEST(UpdateIniData, ModifyFailsWhenTheFileCannotBeWritten)
{
    Sandbox box;
    AppDirIni programIni;
    ASSERT_TRUE(programIni.block());
    EXPECT_FALSE(UpdateIniData::modify(42, box.tempDir() + "/corvalink_temp_3", "", "update_linux_x86"));
}

TEST(UpdateIniData, ModifyTempIniWritesStepTwosRecordWithTheUserGroups)
{
    Sandbox box;
    AppDirIni programIni;
    const QString session = box.tempDir() + "/corvalink_temp_2";
    ASSERT_TRUE(QDir().mkpath(session));
    ASSERT_TRUE(programIni.write(kUserGroups + record("9", session, "/opt/cv5", "update_linux_x86")));
    // A leftover of an earlier attempt is replaced, not merged.
    ASSERT_TRUE(Sandbox::writeFile(session + "/update.ini", "[update]\nproxy=http://stale.example\nold=1\n"));

    ASSERT_TRUE(UpdateIniData::modifyTempIni(session + "/"));

    const QString written = session + "/update.ini";
    expectUserGroupsKept(written);
    QSettings ini(written, QSettings::IniFormat);
    EXPECT_FALSE(ini.contains("update/old"));
    EXPECT_EQ(ini.value("current/version").toString(), "9");
    EXPECT_EQ(ini.value("current/dir").toString(), session);
    EXPECT_EQ(ini.value("current/cv5dir").toString(), "/opt/cv5");
    EXPECT_EQ(ini.value("current/type").toString(), "client_linux_x86");
}

TEST(UpdateIniData, ModifyTempIniWithoutUsableRecordWritesNothing)
{
    Sandbox box;
    AppDirIni programIni;
    const QString session = box.tempDir() + "/corvalink_temp_2";
    ASSERT_TRUE(QDir().mkpath(session));
    ASSERT_TRUE(programIni.write(kUserGroups + record("9", session, "/opt/cv5", "")));

    EXPECT_FALSE(UpdateIniData::modifyTempIni(session));
    EXPECT_FALSE(QFileInfo::exists(session + "/update.ini"));
}

TEST(UpdateIniData, RemoveDropsOnlyTheRecord)
{
    Sandbox box;
    AppDirIni programIni;
    struct Case
    {
        const char *name;
        QByteArray ini; // empty: no file
        bool fileStays;
    };
    const Case cases[] = {
        {"record only", record("9", "/x", "", "t"), false},
        {"record and user groups", kUserGroups + record("9", "/x", "", "t"), true},
        {"user groups only", kUserGroups, true},
        {"no file", {}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(AppDirIni::path());
        if (!c.ini.isEmpty()) {
            ASSERT_TRUE(programIni.write(c.ini));
        }

        EXPECT_TRUE(UpdateIniData::remove());
        EXPECT_EQ(QFileInfo::exists(AppDirIni::path()), c.fileStays);
        if (c.fileStays) {
            expectUserGroupsKept(AppDirIni::path());
            EXPECT_FALSE(QSettings(AppDirIni::path(), QSettings::IniFormat).childGroups().contains("current"));
        }
    }
}
