#include "configuration.h"
#include "directorylock.h"
#include "filedigest.h"
#include "filelogger.h"
#include "mainwindow.h"
#include "oldfileremover.h"
#include "protobufhelper.h"
#include "runlog.h"
#include "singleinstancechecker.h"
#include "startupdater.h"
#include "updatechecker.h"

#include <QApplication>
#include <QDebug>
#include <QLocale>
#include <QTranslator>

int main(int argc, char **argv)
{
    initProtobuf();
    registerUpdateVersionsType();
    filedigest::initialize();

    // The log is set up before the application object, so that Qt's own start-up messages land in
    // it (or nowhere) instead of on standard error.
    FileLogger::instance();
    qInstallMessageHandler(logMessageHandler);

    QApplication app(argc, argv);
    const QString dir = Configuration::applicationDir();
    qDebug("Corvalink updater started");
    logRunStart(app.arguments());

    removeOldFilesAtStart(dir);

    // Another updater of this installation and user is running: it raises its window, and this one ends
    // before it builds anything.
    if (SingleInstanceChecker::sendToRunningInstance(QStringLiteral("#"))) {
        qDebug("Detected other instance running, aborting");
        return 0;
    }

    // One run at a time per installation, also when two start at the same moment (the probe above cannot see
    // a run whose window does not listen yet) or the guard is off. Step one gives up at once. Step two is
    // started by step one, which still holds both locks until it has quit: it waits for them, its session's
    // first, so that no other run takes that session for an abandoned one in between.
    DirectoryLock sessionLock;
    DirectoryLock installationLock;
    if (!lockRunAtStart(app.arguments(), &sessionLock, &installationLock)) {
        qDebug("Detected other instance running, aborting");
        return 0;
    }

    // A missing translation leaves the texts in English; the translators are installed regardless.
    const QString locale = QLocale::system().name();
    QTranslator updateTranslator;
    updateTranslator.load(dir + "/translations/update_" + locale);
    app.installTranslator(&updateTranslator);
    QTranslator qtTranslator;
    qtTranslator.load(dir + "/translations/qt_" + locale);
    app.installTranslator(&qtTranslator);

    // The window connects to the configuration's signals, so it exists before the command line is parsed.
    // Declared in this order, the window goes before the configuration and both before the translators.
    Configuration configuration;
    MainWindow window(&configuration);
    if (!startUpdater(configuration, window, app.arguments())) {
        logRunEnd(window.outcome(), 1);
        return 1;
    }
    const int result = app.exec();
    logRunEnd(window.outcome(), result);

    FileLogger::instance()->close();
    shutdownProtobuf();
    return result;
}
