#pragma once

#include "asynctaskspecification.h"
#include "rollback.h"

#include <QString>

// The work object of a slow file operation: copies of the task's paths, so the pool thread never
// reads the task.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT
public:
    SlowFileOpFunc(const QString &source, const QString &target);
    SlowFileOpFunc(const QString &source, const QString &patch, const QString &target);

    const QString &source() const { return m_source; }
    const QString &patch() const { return m_patch; }
    const QString &target() const { return m_target; }

protected:
    // A name in target's directory that nothing uses yet, for writing the output before it replaces
    // target. Hidden, and short enough for any target name.
    static QString temporaryPathBeside(const QString &target);
    // Puts the finished output at temporary in target's place in one step, replacing an earlier file
    // there, whose permissions it takes over. False when that cannot be done (temporary is left
    // for the caller to remove).
    static bool moveIntoPlace(const QString &temporary, const QString &target);

private:
    QString m_source;
    QString m_patch;
    QString m_target;
};

// A file operation that runs on the thread pool (copy, unpack, patch). On success the target is
// recorded as a created file in the rollback list, when there is one; on failure the task emits its
// failure text and ends cancelled.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // One input (copy, unpack). errorText is the complete failure text; rollback may be null. Not owned.
    SlowFileOpSpecification(const QString &errorText, RollbackDataList *rollback, const QString &source,
                            const QString &target, QObject *parent, qreal weight);
    // Two inputs (patch).
    SlowFileOpSpecification(const QString &errorText, RollbackDataList *rollback, const QString &source,
                            const QString &patch, const QString &target, QObject *parent, qreal weight);

    const QString &source() const { return m_source; }
    const QString &patch() const { return m_patch; }
    const QString &target() const { return m_target; }
    const QString &errorText() const { return m_errorText; }
    RollbackDataList *rollback() const { return m_rollback; }
    // Output beyond this many bytes fails an unpack or a patch (-1: no cap): the size the signed ini lists, or
    // a hard cap for what is not signed yet.
    void setMaxOutputSize(qint64 bytes) { m_maxOutputSize = bytes; }
    qint64 maxOutputSize() const { return m_maxOutputSize; }

protected:
    // Records the target (on the GUI thread, when the result arrives) or reports the failure, then
    // ends the task. A result that arrives when the task no longer runs changes nothing.
    void runDone(bool ok) override;

private:
    RollbackDataList *m_rollback;
    QString m_source;
    QString m_patch;
    QString m_target;
    QString m_errorText;
    qint64 m_maxOutputSize = -1;
};
