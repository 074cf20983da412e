#include "appdirini.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {
void removeEntry(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
    // QSettings caches each file per process and keeps the changes of a failed write pending; the next
    // QSettings on the path would write them into the next test's file. clear() drops them.
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.clear();
    }
    QFile::remove(path);
}
} // namespace

AppDirIni::AppDirIni()
{
    removeEntry(path());
}

AppDirIni::AppDirIni(const QByteArray &contents)
    : AppDirIni()
{
    write(contents);
}

AppDirIni::~AppDirIni()
{
    removeEntry(path());
}

QString AppDirIni::path()
{
    return QCoreApplication::applicationDirPath() + "/update.ini";
}

bool AppDirIni::write(const QByteArray &contents) const
{
    QFile file(path());
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(contents) == contents.size();
}

bool AppDirIni::block() const
{
    removeEntry(path());
    return QDir().mkpath(path() + "/blocked");
}
