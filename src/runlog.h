#pragma once

#include <QString>
#include <QStringList>

// The log lines that let a support person follow a run as the user saw it: what the run is (first lines),
// every text the user was shown, and how the run ended (last line). Written at level Info.

// The updater's version, the step ("--clientupdate" first: step two) and the whole command line.
void logRunStart(const QStringList &arguments);
// A progress text added to the window's text view.
void logShownText(const QString &text);
// A message box as it was shown: its title and text.
void logShownBox(const QString &title, const QString &text);
// The run's outcome ("finished", "cancelled", "error" or "fatal") and the program's exit code.
void logRunEnd(const QString &outcome, int exitCode);
