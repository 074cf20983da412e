#pragma once

#include "rollback.h"

#include <QList>
#include <QString>

// The installation's changes of one run, kept in the session directory so that a run that was killed can
// be settled by the next one. Each change is written down before it is made (a record names what may have
// happened); a last line "commit" says that every change is final. The next run then either finishes the
// commit (removes what was moved aside) or undoes what the records say is in effect, newest first; either
// way the journal goes. Only the GUI thread writes it, one line per change.
//
// Reading a journal trusts it no further than it must: records that name a path outside the installation and
// the session directory, or through a link inside them, are skipped; only hidden names (the work names this
// program makes) are ever removed; a rename is undone only when the entry it moved is still the one recorded
// (same inode); and a journal larger than kMaxBytes is not read at all.
class InstallJournal
{
public:
    static constexpr qint64 kMaxBytes = 64 * 1024 * 1024;

    static QString path(const QString &sessionDir);

    // Appends record before the change it describes is made. A rename's record is given the inode of what it
    // moves, if it has none. False when it could not be written: then the change must not be made.
    static bool record(const QString &sessionDir, const RollbackData &record);
    // The changes are final. First everything they wrote into installDir is made durable (the file system is
    // synced) and so are the records; then "commit" is written and synced; only then are the old files that
    // were exchanged out and the paths moved aside for deletion removed, and the journal with them. False,
    // removing nothing, when the commit line could not be made durable: the caller must roll back.
    static bool commit(const QString &sessionDir, const QString &installDir);
    // Undoes whatever of the recorded changes is in effect, newest first, then removes the journal.
    static void rollBack(const QString &sessionDir, const QString &installDir);
    // Settles a journal that a killed run left: a committed one is finished, any other rolled back. True when
    // there is nothing left to settle (also without a journal); false when the journal was refused (too
    // large, unreadable): then it stays, and so does everything it names.
    static bool settle(const QString &sessionDir, const QString &installDir);

private:
    static bool read(const QString &sessionDir, const QString &installDir, QList<RollbackData> *records,
                     bool *committed);
    // Removes what a commit left behind: the old files, the paths moved aside, the work files.
    static void finish(const QList<RollbackData> &records);
    // Undoes what is in effect of records, newest first, and removes their work files.
    static void undoAll(const QList<RollbackData> &records);
    static void undo(const RollbackData &record);
};
