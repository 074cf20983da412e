#include "taskrecorder.h"

TaskRecorder::TaskRecorder(TaskSpecification *task)
    : m_messages(task, &TaskSpecification::message)
    , m_finished(task, &TaskSpecification::finished)
    , m_canceled(task, &TaskSpecification::canceled)
{
}

QStringList TaskRecorder::messages() const
{
    QStringList texts;
    for (const QList<QVariant> &args : m_messages)
        texts << args.at(0).toString();
    return texts;
}

QStringList describeRecords(const RollbackDataList &list, const QString &prefix)
{
    const auto shown = [&prefix](const QString &path) {
        return !prefix.isEmpty() && path.startsWith(prefix) ? path.mid(prefix.size()) : path;
    };
    QStringList lines;
    for (const RollbackData &record : list) {
        switch (record.op) {
        case FILE_RENAME:
            lines << "FILE_RENAME " + shown(record.second) + " -> " + shown(record.first);
            break;
        case FILE_CREATE:
            lines << "FILE_CREATE " + shown(record.first);
            break;
        case DIR_CREATE:
            lines << "DIR_CREATE " + shown(record.first);
            break;
        case FILE_EXCHANGE:
            lines << "FILE_EXCHANGE " + shown(record.first) + " <-> " + shown(record.second);
            break;
        case PATH_ASIDE:
            lines << "PATH_ASIDE " + shown(record.second) + " -> " + shown(record.first);
            break;
        default:
            lines << "op " + QString::number(record.op) + " " + shown(record.first);
        }
    }
    return lines;
}
