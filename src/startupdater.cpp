#include "startupdater.h"

#include "configuration.h"
#include "directorylock.h"
#include "mainwindow.h"
#include "updateinidata.h"

#include <QTimer>

bool startUpdater(Configuration &configuration, MainWindow &window, const QStringList &arguments)
{
    if (!configuration.parseCommandLineOptions(arguments)) {
        qWarning("Failed to parse command line options, aborting");
        return false;
    }

    // A start that finds the configuration not yet ready is repeated on Configuration::ready.
    QTimer::singleShot(2000, &window, &MainWindow::onStartUpdate);
    window.updateTexts();
    window.show();
    window.delete_force_update_files();
    return true;
}

bool lockRunAtStart(const QStringList &arguments, DirectoryLock *session, DirectoryLock *installation)
{
    const int kHandOverWaitMs = 30000;
    const QString programDir = Configuration::applicationDir();
    const bool stepTwo = arguments.size() > 1 && arguments.at(1) == QLatin1String("--clientupdate");
    QString installDir;
    if (stepTwo) {
        if (!session->tryLock(programDir, kHandOverWaitMs) && session->wasBusy())
            return false;
        UpdateIniData::get(nullptr, nullptr, nullptr, &installDir);
    }
    if (installDir.isEmpty())
        installDir = programDir;
    // A directory that cannot be opened is no other run's either; the engine's own checks decide about it.
    return installation->tryLock(installDir, stepTwo ? kHandOverWaitMs : 0) || !installation->wasBusy();
}
