#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

class QObject;

enum RollbackOp {
    FILE_RENAME = 0, // a file or directory was moved: move it back
    FILE_CREATE = 1, // a file was written: remove it
    DIR_CREATE = 2, // a directory was created: remove it if it is empty
    FILE_EXCHANGE = 3, // an installed file and a hidden new one swapped names: swap them back
    PATH_ASIDE = 4, // a path to be deleted was moved to a hidden name: move it back
};

// One undoable change of the installation.
class RollbackData
{
public:
    // A rename from source to target; op must be FILE_RENAME.
    RollbackData(int op, const QString &source, const QString &target);
    // installed and hidden swapped names; newInode is the inode of the new bytes (under installed after the
    // swap), by which a later run can tell whether the swap happened.
    static RollbackData exchanged(const QString &installed, const QString &hidden, quint64 newInode);
    // path was moved to aside, where it waits for the commit that removes it.
    static RollbackData movedAside(const QString &path, const QString &aside);
    // A created file or directory; op must not be FILE_RENAME.
    RollbackData(int op, const QString &path);

    // Undoes this change. False, with a warning to the reporter, when it could not be undone.
    bool rollback(QObject *reporter) const;
    // Emits text through the reporter's message(QString) signal; nothing for a null reporter.
    static void message(QObject *reporter, const QString &text);

    QString first; // FILE_RENAME, PATH_ASIDE: the rename's destination; FILE_EXCHANGE: the installed name;
                   // otherwise the created path
    QString second; // FILE_RENAME, PATH_ASIDE: the rename's source; FILE_EXCHANGE: the hidden name
    int op;
    quint64 inode = 0; // FILE_EXCHANGE: the new file's inode; in a journal also a rename's moved entry's
    qint64 modified = 0; // in a journal: that entry's modification time in ns (0: not known), since an inode
                         // number is reused as soon as its file is gone
};

// The changes of a replacement, in the order they were made. File tasks only append; the owner
// undoes them all (newest first) or hands them on to its parent's list.
class RollbackDataList : public QList<RollbackData>
{
public:
    RollbackDataList() = default;

    void addRecord(const RollbackData &record);
    // Appends copies of other's records after the own ones; other keeps its records.
    void addList(const RollbackDataList &other);
    // Forgets every record without undoing it.
    void clearRecords();
    // Undoes and removes every record, newest first. A failed undo warns and does not stop the loop;
    // true only when every undo succeeded (so true for an empty list).
    bool rollbackAll(QObject *reporter);
};
