// Renders the main window offscreen into a PNG, as a user sees it during step two of an update: version
// label filled in, part of the progress done and the details shown.
// Usage: window_picture <output.png>
#include "configuration.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "updateengine.h"

#include <QApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        QTextStream(stderr) << "usage: window_picture <output.png>\n";
        return 2;
    }

    Configuration config;
    config.m_clientUpdate = 1;
    config.m_channel = 1;
    config.m_versionString = "3.7.2";
    MainWindow window(&config);
    window.updateTexts();
    window.show();

    const char *lines[] = {"Starting update process for client", "Product ini verified",
                           "Downloading cv5client_linux_x86", "Downloading libcorvalink.so.5",
                           "Downloading translations/cv5client_de.qm"};
    for (const char *line : lines)
        window.onAppendText(QString::fromLatin1(line));
    emit window.engine->updateProgress(0.45);
    window.ui->detailsButton->click();
    QApplication::processEvents();

    if (!window.grab().save(QString::fromLocal8Bit(argv[1]))) {
        QTextStream(stderr) << "could not write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
