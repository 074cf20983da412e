#include "startupdater.h"

#include "configuration.h"
#include "mainwindow.h"

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
