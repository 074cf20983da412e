#pragma once

#include "composedtaskspecification.h"
#include "rollback.h"
#include "updatedata.h"

#include <QString>

class Configuration;

// Brings one installed file up to date, its sub-tasks one after the other: a whole file is copied from the
// temporary directory, a packed one unpacked and then checked against its final SHA-512 (or its signature).
//
// An installed file that is to be replaced is first moved aside, beside itself, and the new file is then
// written in its place; both steps are recorded, so an undo removes the new file and moves the old one back.
// The replaced file stays aside until the whole step has finished (the list task removes it then), so a
// later failure can still bring it back. A finished file takes over the mode of the file it replaced and
// is then made executable when its name calls for it.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // parentRollbackList receives this file's records once it has finished; neither pointer is owned.
    FileReplaceTaskSpecification(const FileReplaceEntry &entry, RollbackDataList *parentRollbackList,
                                 Configuration *config, QObject *parent, qreal weight);
    // Drops the own records without undoing them.
    ~FileReplaceTaskSpecification() override;

    void execute() override;
    // Releases the sub-tasks and undoes whatever the own list still holds.
    void reset() override;

    // Gives path mode 0755 when its file name is one of specialFileNames or its complete suffix one of
    // specialFileSuffixes; any other file keeps its mode. The result is only logged.
    static void makeSingleFileExecutable(const QString &path);
    // A free hidden name beside destination for the file it replaces.
    static QString asidePathFor(const QString &destination);

    const FileReplaceEntry &entry() const { return m_entry; }
    const RollbackDataList &rollbackList() const { return m_rollbackList; }
    // The downloaded whole or packed file, the installed file, the patch, and the copy of the installed
    // file taken before patching.
    QString sourcePath() const;
    QString destinationPath() const;
    QString patchPath() const;
    QString oldCopyPath() const;

protected:
    // Finished: hands the records to the list task, then the mode. Otherwise: undoes the own records.
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    // Adds the move of an existing installed file out of the way; nothing when there is none.
    void addMoveAsideTask();
    void makeOldCopy();

    FileReplaceEntry m_entry;
    RollbackDataList *m_parentRollbackList;
    RollbackDataList m_rollbackList;
    Configuration *m_config;
    QString m_asidePath; // where the replaced file goes; empty when there was none
};
