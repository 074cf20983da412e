#include "appdirini.h"

#include <QCoreApplication>
#include <QFile>

AppDirIni::AppDirIni()
{
    QFile::remove(path());
}

AppDirIni::AppDirIni(const QByteArray &contents)
    : AppDirIni()
{
    write(contents);
}

AppDirIni::~AppDirIni()
{
    QFile::remove(path());
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
