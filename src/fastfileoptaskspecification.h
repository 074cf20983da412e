#pragma once

#include "rollback.h"
#include "taskspecification.h"

#include <QString>

// A file operation quick enough to run on the GUI thread: execute() performs it and ends the task
// before it returns, finished on success, cancelled on failure (after a message() with the reason).
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    // rollback receives the undo records of what the operation changed; null records nothing. Not owned.
    FastFileOpTaskSpecification(const QString &path, RollbackDataList *rollback, QObject *parent, qreal weight);

    void execute() override;

    const QString &path() const { return m_path; }
    RollbackDataList *rollback() const { return m_rollback; }

protected:
    // Performs the operation; false after a message() that says why.
    virtual bool doOp() = 0;
    // Appends record to the rollback list, when there is one.
    void addRollback(const RollbackData &record);

private:
    RollbackDataList *m_rollback;
    QString m_path;
};
