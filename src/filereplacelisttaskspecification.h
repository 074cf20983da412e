#pragma once

#include "composedtaskspecification.h"
#include "rollback.h"
#include "updatedata.h"

#include <QList>

class Configuration;

// The replacement step of the client update: first the missing directories of the installation are created,
// then the files are replaced, two at a time, each by its own FileReplaceTaskSpecification. When the step
// does not finish, every change it recorded is undone, newest first, so the installation is exactly as it
// was. When it finishes, its records go on to the transaction it was given (the deletion step then commits
// or undoes both together); without one it commits the install journal itself, which removes the replaced
// files kept under hidden names until then. Every change is in the session directory's install journal
// before it is made (see InstallJournal). A destination reached through a link inside the installation
// fails the step before anything changes.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // replacements is the plan's list, read when the step runs; neither pointer is owned.
    FileReplaceListTaskSpecification(QList<FileReplaceEntry> *replacements, Configuration *config, QObject *parent,
                                     qreal weight);
    // Drops the records without undoing them.
    ~FileReplaceListTaskSpecification() override;

    void execute() override;
    // Releases the sub-tasks and undoes whatever the list still holds.
    void reset() override;

    // One directory task per missing directory of the destinations, sorted so that parents come first;
    // returns how many it added. They weigh 0.1 of the step together.
    int createDirTasks();
    // One file task per entry, in list order, sharing 0.9 of the step (1.0 without directory tasks).
    void createReplaceTasks(bool haveDirTasks);

    const RollbackDataList &rollbackList() const { return m_rollbackList; }
    // Where the records go when the step finishes; not owned. Null: the step commits on its own.
    void setTransaction(RollbackDataList *transaction) { m_transaction = transaction; }

protected:
    void subtasksDone() override;

private:
    // The commit could not be made durable: undo everything and end in error.
    void failCommit();

    QList<FileReplaceEntry> *m_replacements;
    RollbackDataList m_rollbackList;
    Configuration *m_config;
    RollbackDataList *m_transaction = nullptr;
};
