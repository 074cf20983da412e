#include "processtools.h"

#include "configuration.h"

#include <QDebug>
#include <QFileInfo>
#include <QProcess>

void ProcessTools::startCv5Client(const QString &dir)
{
    qDebug() << "startCv5Client";
    startCv5Client_linux(dir);
}

void ProcessTools::startClientUpdater(const QString &dir, const QStringList &args)
{
    qDebug() << "startClientUpdater" << dir << args;
    startNewUpdater_linux(dir, args);
}

void ProcessTools::startCv5Client_linux(const QString &dir)
{
    // Plain concatenation: a trailing "/" in dir gives "//", which the file system accepts.
    const QString program = dir + "/" + Configuration::runScriptName();
    qDebug() << "starting " << program;
    // The updater exits right after this; a script that cannot be started leaves only the line above.
    QProcess::startDetached(program, {}, dir);
}

void ProcessTools::startNewUpdater_linux(const QString &dir, const QStringList &args)
{
    const QString program = dir + "/update";
    qDebug() << "startNewUpdater_linux" << program;
    if (!QFileInfo::exists(program)) {
        qDebug() << "Failed to find" << program;
        return;
    }
    qDebug() << "starting" << program;
    QProcess::startDetached(program, args, dir);
}
