#pragma once

#include <QStringList>

class Configuration;
class MainWindow;

// The run's start once the window exists: parses the command line and, when it is usable, schedules the
// first start attempt and shows the window. False when the command line was refused: the user has been
// told in the box "Error" by then, and the program ends with exit code 1 without running its event loop.
bool startUpdater(Configuration &configuration, MainWindow &window, const QStringList &arguments);
