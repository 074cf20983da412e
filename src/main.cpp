#include "configuration.h"
#include "filelogger.h"
#include "protobufhelper.h"
#include "updatechecker.h"

#include <QApplication>
#include <QDebug>
#include <QLocale>
#include <QTranslator>

int main(int argc, char **argv)
{
    initProtobuf();
    registerUpdateVersionsType();

    // The log is set up before the application object, so that Qt's own start-up messages land in
    // it (or nowhere) instead of on standard error.
    FileLogger::instance();
    qInstallMessageHandler(logMessageHandler);

    QApplication app(argc, argv);
    const QString dir = Configuration::applicationDir();
    qDebug("Corvalink updater started");

    // A missing translation leaves the texts in English; the translators are installed regardless.
    const QString locale = QLocale::system().name();
    QTranslator updateTranslator;
    updateTranslator.load(dir + "/translations/update_" + locale);
    app.installTranslator(&updateTranslator);
    QTranslator qtTranslator;
    qtTranslator.load(dir + "/translations/qt_" + locale);
    app.installTranslator(&qtTranslator);

    Configuration configuration;
    configuration.readUpdateIni();
    if (!configuration.parseCommandLineOptions()) {
        qWarning("Failed to parse command line options, aborting");
        return 1;
    }

    const int result = 0;

    FileLogger::instance()->close();
    shutdownProtobuf();
    return result;
}
