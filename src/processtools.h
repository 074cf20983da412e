#pragma once

#include <QString>
#include <QStringList>

// Hands the run over to the next program: the client after step two, the new updater after step one.
// Both start detached, so they outlive the updater, with the given directory as working directory; no
// handle is kept and failures are only logged.
class ProcessTools
{
public:
    // Starts dir + "/cv5client_runscript.sh" without arguments. Whether the script exists is not tested.
    static void startCv5Client(const QString &dir);
    // Starts dir + "/update" with args, in order, when an entry of that name exists. False when nothing was
    // started: the run then has no successor, which the caller must not report as a success.
    static bool startClientUpdater(const QString &dir, const QStringList &args);

private:
    static void startCv5Client_linux(const QString &dir);
    static bool startNewUpdater_linux(const QString &dir, const QStringList &args);
};
