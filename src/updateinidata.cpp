#include "updateinidata.h"

#include "configuration.h"
#include "fileentry.h"
#include "inisettings.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kGroup[] = "current";
const char kVersionKey[] = "version";
const char kDirKey[] = "dir";
const char kInstallDirKey[] = "cv5dir";
const char kTypeKey[] = "type";
const char kSessionDirPrefix[] = "corvalink_temp_";
const char kIniFileName[] = "update.ini";

// The record's "dir" is removed recursively when a session is discarded or finished, so a stale or hand-edited
// value must never name anything but a directory of the form this program creates: the system temporary
// directory + "/corvalink_temp_" + a number, or + six letters and digits when every number was taken. A link is
// refused too, even to such a directory: its target would be emptied instead of the link.
bool isSessionDir(const QString &dir, QString *why)
{
    if (!QDir::isAbsolutePath(dir)) {
        *why = "not an absolute path";
        return false;
    }
    const QFileInfo info(dir);
    if (!entryExists(info)) {
        *why = "does not exist";
        return false;
    }
    if (info.isSymLink() || !info.isDir()) {
        *why = "not a directory";
        return false;
    }
    // After a reboot has emptied the temporary directory, another user can make a directory of the recorded
    // name; working in it would run their files as this user. Only a directory of this user's that group and
    // others cannot write counts.
    struct stat status;
    if (::lstat(QFile::encodeName(dir).constData(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        *why = "not a directory";
        return false;
    }
    if (status.st_uid != ::geteuid()) {
        *why = "owned by another user";
        return false;
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *why = "writable by others";
        return false;
    }
    QString tempRoot = QDir(QDir::tempPath()).canonicalPath();
    if (tempRoot.isEmpty()) {
        *why = "no system temporary directory";
        return false;
    }
    if (!tempRoot.endsWith('/'))
        tempRoot += '/';
    const QString prefix = tempRoot + kSessionDirPrefix;
    const QString canonical = info.canonicalFilePath();
    const QStringRef number = canonical.midRef(prefix.size());
    const bool digitsOnly =
        !number.isEmpty() && std::all_of(number.begin(), number.end(), [](QChar c) { return c >= '0' && c <= '9'; });
    const bool unpredictable = number.size() == 6 && std::all_of(number.begin(), number.end(), [](QChar c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
    if (!canonical.startsWith(prefix) || !(digitsOnly || unpredictable)) {
        *why = "not a session directory in " + tempRoot;
        return false;
    }
    return true;
}

// Replaces group `name` of `to` by a copy of the same group of `from`.
void copyGroup(QSettings &from, QSettings &to, const QString &name)
{
    to.remove(name);
    from.beginGroup(name);
    to.beginGroup(name);
    const QStringList keys = from.allKeys();
    for (const QString &key : keys)
        to.setValue(key, from.value(key));
    to.endGroup();
    from.endGroup();
}

} // namespace

QString UpdateIniData::path()
{
    return QDir(Configuration::applicationDir()).absoluteFilePath(kIniFileName);
}

bool UpdateIniData::get(int *version, QString *type, QString *dir, QString *cv5dir)
{
    IniSettings settings(path());
    settings.beginGroup(kGroup);
    bool versionOk = false;
    const int readVersion = settings.value(kVersionKey).toInt(&versionOk);
    const QString readDir = settings.value(kDirKey).toString();
    const QString readInstallDir = settings.value(kInstallDirKey).toString();
    const QString readType = settings.value(kTypeKey).toString();
    settings.endGroup();

    qDebug() << "get" << path() << readVersion << readDir << readInstallDir << readType;

    if (!versionOk || readType.isEmpty() || readDir.isEmpty())
        return false;
    QString why;
    if (!isSessionDir(readDir, &why)) {
        qDebug() << "Session record not usable, dir" << readDir << why;
        return false;
    }

    if (version)
        *version = readVersion;
    if (type)
        *type = readType;
    if (dir)
        *dir = readDir;
    if (cv5dir)
        *cv5dir = readInstallDir;
    return true;
}

bool UpdateIniData::modify(int version, const QString &dir, const QString &cv5dir, const QString &type)
{
    qDebug() << "modify" << path() << version << dir << cv5dir << type;

    IniSettings settings(path());
    settings.beginGroup(kGroup);
    settings.setValue(kVersionKey, version);
    settings.setValue(kDirKey, dir);
    settings.setValue(kInstallDirKey, cv5dir);
    settings.setValue(kTypeKey, type);
    settings.endGroup();
    settings.sync();

    qDebug() << "UpdateiniData::modify write result"
             << "Status" << settings.status();
    return settings.status() == QSettings::NoError;
}

bool UpdateIniData::modifyTempIni(const QString &dir)
{
    const QString target = dir + "/" + kIniFileName;
    qDebug() << "modifyTempIni" << target;

    int version = 0;
    QString sessionDir;
    QString installDir;
    if (!get(&version, nullptr, &sessionDir, &installDir)) {
        qDebug() << "Failed to read existing update.ini";
        return false;
    }

    IniSettings settings(target);
    settings.beginGroup(kGroup);
    settings.setValue(kVersionKey, version);
    settings.setValue(kDirKey, sessionDir);
    settings.setValue(kInstallDirKey, installDir);
    settings.setValue(kTypeKey, Configuration::packageType(true));
    settings.endGroup();

    // Step two runs from `dir` and reads its proxy and, failing the configuration directory, its channel
    // from there.
    IniSettings installed(path());
    copyGroup(installed, settings, "update");
    copyGroup(installed, settings, "Channel");
    settings.sync();

    qDebug() << "UpdateiniData::modifyTempIni write result"
             << "Status" << settings.status();
    return settings.status() == QSettings::NoError;
}

bool UpdateIniData::remove()
{
    const QString file = path();
    if (!QFileInfo::exists(file))
        return true;
    {
        IniSettings settings(file);
        settings.remove(kGroup);
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return false;
        if (!settings.childGroups().isEmpty() || !settings.childKeys().isEmpty())
            return true;
    }
    return QFile::remove(file);
}
