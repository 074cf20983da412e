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

bool ProcessTools::startClientUpdater(const QString &dir, const QStringList &args)
{
    qDebug() << "startClientUpdater" << dir << args;
    return startNewUpdater_linux(dir, args);
}

void ProcessTools::startCv5Client_linux(const QString &dir)
{
    // Plain concatenation: a trailing "/" in dir gives "//", which the file system accepts.
    const QString program = dir + "/" + Configuration::runScriptName();
    qDebug() << "starting " << program;
    // The updater exits right after this; a script that cannot be started leaves only the line above.
    QProcess::startDetached(program, {}, dir);
}

bool ProcessTools::startNewUpdater_linux(const QString &dir, const QStringList &args)
{
    const QString program = dir + "/update";
    qDebug() << "startNewUpdater_linux" << program;
    if (!QFileInfo::exists(program)) {
        qDebug() << "Failed to find" << program;
        return false;
    }
    qDebug() << "starting" << program;
    // Fails, for example, when the temporary directory's file system does not allow programs to run.
    const bool started = QProcess::startDetached(program, args, dir);
    if (!started)
        qDebug() << "Failed to start" << program;
    return started;
}
