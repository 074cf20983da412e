#pragma once

#include <QStringList>

class Configuration;
class DirectoryLock;
class MainWindow;

// The run's start once the window exists: parses the command line and, when it is usable, schedules the
// first start attempt and shows the window. False when the command line was refused: the user has been
// told in the box "Error" by then, and the program ends with exit code 1 without running its event loop.
bool startUpdater(Configuration &configuration, MainWindow &window, const QStringList &arguments);

// Takes the locks of this run before anything else happens: the installation's, and in step two ("--clientupdate"
// first) also the session's, which is the program's own directory. Step two's installation is the one its
// session record names. Step one does not wait; step two waits up to 30 s, for step one to quit. False when
// another run holds them: this one must end.
bool lockRunAtStart(const QStringList &arguments, DirectoryLock *session, DirectoryLock *installation);
