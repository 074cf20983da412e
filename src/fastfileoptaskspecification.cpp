#include "fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString &path, RollbackDataList *rollback,
                                                         QObject *parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_rollback(rollback)
    , m_path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    setState(TASK_RUNNING);
    if (doOp())
        setFinished();
    else
        setCanceled();
}

void FastFileOpTaskSpecification::addRollback(const RollbackData &record)
{
    if (m_rollback)
        m_rollback->addRecord(record);
}
