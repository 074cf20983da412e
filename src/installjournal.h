#pragma once

#include "rollback.h"

#include <QList>
#include <QString>

// The installation's changes of one run, kept in the session directory so that a run that was killed can
// be settled by the next one. Each change is written down before it is made (a record names what may have
// happened); a last line "commit" says that every change is final. The next run then either finishes the
// commit (removes what was moved aside) or undoes what the records say is in effect, newest first; either
// way the journal goes. Only the GUI thread writes it, one line per change.
class InstallJournal
{
public:
    static QString path(const QString &sessionDir);

    // Appends record before the change it describes is made. False when it could not be written: then the
    // change must not be made.
    static bool record(const QString &sessionDir, const RollbackData &record);
    // The changes are final: writes "commit", removes the old files that were exchanged out and the paths
    // moved aside for deletion, then the journal.
    static void commit(const QString &sessionDir);
    // Undoes whatever of the recorded changes is in effect, newest first, then removes the journal.
    static void rollBack(const QString &sessionDir);
    // Settles a journal that a killed run left: a committed one is finished, any other rolled back. Nothing
    // happens without a journal.
    static void settle(const QString &sessionDir);

private:
    static QList<RollbackData> read(const QString &sessionDir, bool *committed);
    static void finish(const QList<RollbackData> &records);
    static void undo(const RollbackData &record);
};
