#pragma once

#include "composedtaskspecification.h"
#include "rollback.h"
#include "updatedata.h"

#include <QList>

class Configuration;

// The replacement step of the client update: first the missing directories of the installation are created,
// then the files are replaced, two at a time, each by its own FileReplaceTaskSpecification. When the step
// does not finish, every change it recorded is undone, newest first, so the installation is exactly as it
// was. When it finishes, the files that were replaced (kept aside until then) are removed.
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

protected:
    void subtasksDone() override;

private:
    // The replacement is final: the files moved aside go, and with them any way back.
    void removeReplacedFiles();

    QList<FileReplaceEntry> *m_replacements;
    RollbackDataList m_rollbackList;
    Configuration *m_config;
};
