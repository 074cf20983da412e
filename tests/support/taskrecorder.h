#pragma once

#include "rollback.h"
#include "taskspecification.h"

#include <QSignalSpy>
#include <QStringList>

// Records what a task reports: its message() texts and its two closing signals.
class TaskRecorder
{
public:
    explicit TaskRecorder(TaskSpecification *task);

    QStringList messages() const;
    int finishedCount() const { return m_finished.count(); }
    int canceledCount() const { return m_canceled.count(); }

private:
    QSignalSpy m_messages;
    QSignalSpy m_finished;
    QSignalSpy m_canceled;
};

// The records of a list as readable lines, oldest first: "DIR_CREATE <path>", "FILE_CREATE <path>",
// "FILE_RENAME <source> -> <target>". Paths that begin with prefix are shown without it.
QStringList describeRecords(const RollbackDataList &list, const QString &prefix = QString());
