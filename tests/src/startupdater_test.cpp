// The start of a run once the window exists, driven in-process as main() does it: a refused command line
// is told to the user in the box "Error" before anything else happens, a usable one shows the window.
#include "startupdater.h"

#include "configuration.h"
#include "globals.h"
#include "mainwindow.h"
#include "support/boxanswerer.h"
#include "support/logcapture.h"
#include "support/qtprinters.h"
#include "support/sandbox.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <gtest/gtest.h>

TEST(StartUpdater, RefusedCommandLineIsAnsweredInTheBoxErrorThenLogged)
{
    struct Case
    {
        const char *name;
        QStringList arguments;
        bool started;
        const char *boxText; // the box "Error"; nullptr: no box at all
    };
    const Case cases[] = {
        {"version not a number", {"update", "client_linux_x86", "abc"}, false, "Invalid version nr (abc)"},
        {"version not a number after the flag",
         {"update", "--clientupdate", "client_linux_x86", "3x", "#"},
         false,
         "Invalid version nr (3x)"},
        {"usable", {"update", "--nouser", "client_linux_x86", "3"}, true, nullptr},
    };
    const QString aborting = "Failed to parse command line options, aborting";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        // Reboot answers of an earlier run: only a started step one removes them.
        const QString markers[] = {sandbox.tempDir() + "/" + forceUpdateFileName,
                                   sandbox.tempDir() + "/" + forceUpdateCheckFileName};
        for (const QString &marker : markers)
            ASSERT_TRUE(Sandbox::writeFile(marker, ""));

        Configuration configuration;
        MainWindow window(&configuration);
        LogCapture log;
        BoxAnswerer boxes;
        bool loggedWhileBoxOpen = false;
        boxes.setHook([&](const BoxAnswerer::Box &) { loggedWhileBoxOpen = log.contains(aborting); });
        bool started = !c.started;
        runApplication([&] {
            started = startUpdater(configuration, window, c.arguments);
            // A refused start ends the program here; a started one would go on in the event loop.
            QCoreApplication::exit(started ? 0 : 1);
        });

        EXPECT_EQ(started, c.started);
        EXPECT_EQ(window.isVisible(), c.started);
        for (const QString &marker : markers)
            EXPECT_EQ(QFileInfo::exists(marker), !c.started) << marker.toStdString();
        int abortLines = 0;
        for (const LogCapture::Message &m : log.messages()) {
            if (m.text == aborting) {
                ++abortLines;
                EXPECT_EQ(m.type, QtWarningMsg);
            }
        }
        if (!c.boxText) {
            EXPECT_EQ(boxes.titles(), QStringList());
            EXPECT_EQ(abortLines, 0);
            continue;
        }
        ASSERT_EQ(boxes.boxes().size(), 1);
        const BoxAnswerer::Box box = boxes.boxes().first();
        EXPECT_EQ(box.title, "Error");
        EXPECT_EQ(box.text, c.boxText);
        EXPECT_EQ(box.icon, QMessageBox::Critical);
        EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        // The line is written once the user has answered the box.
        EXPECT_FALSE(loggedWhileBoxOpen);
        EXPECT_EQ(abortLines, 1);
        // What the user read is in the log as well.
        EXPECT_TRUE(log.contains(QString("Box \"Error\": ") + c.boxText)) << log.lines().join('\n').toStdString();
    }
}
