#include "scriptedtasks.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

ScriptedTask::ScriptedTask(Outcome outcome, qreal weight, QObject *parent)
    : TaskSpecification(parent, weight)
    , outcome(outcome)
{
}

void ScriptedTask::execute()
{
    ++executeCount;
    if (probe) {
        ++probe->depth;
        probe->maxDepth = qMax(probe->maxDepth, probe->depth);
    }
    setState(TASK_RUNNING);
    switch (outcome) {
    case Finish:
        setFinished();
        break;
    case Cancel:
        setCanceled();
        break;
    case Fail:
        setError();
        break;
    case Stay:
        break;
    }
    if (probe)
        --probe->depth;
}

void ScriptedTask::getDownloadProgress(quint64 &received, quint64 &total, quint64 &sinceLastPoll, bool &active)
{
    received = m_received;
    total = m_total;
    sinceLastPoll = m_sinceLastPoll;
    active = m_active;
}

void ScriptedTask::cancel()
{
    TaskSpecification::cancel();
    if (endOnCancel && state() == TASK_RUNNING)
        setError();
}

void ScriptedTask::handleOtherTaskCancelled(TaskSpecification *other)
{
    siblingNotices.append(other);
    if (endOnSiblingCancel)
        setCanceled();
}

void ScriptedTask::setCounters(quint64 received, quint64 total, quint64 sinceLastPoll, bool active)
{
    m_received = received;
    m_total = total;
    m_sinceLastPoll = sinceLastPoll;
    m_active = active;
}

ScriptedComposedTask::ScriptedComposedTask(int maxParallel, qreal weight, QObject *parent)
    : ComposedTaskSpecification(maxParallel, weight, parent)
{
}

void ScriptedComposedTask::subtasksDone()
{
    ++subtasksDoneCalls;
    ComposedTaskSpecification::subtasksDone();
}

static bool hasEnded(const TaskSpecification *task)
{
    return task->state() == TASK_FINISHED || task->state() == TASK_CANCELED || task->state() == TASK_ERROR;
}

bool waitForTaskEnd(TaskSpecification *task, int timeoutMs)
{
    if (hasEnded(task))
        return true;
    QEventLoop loop;
    QObject::connect(task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    QObject::connect(task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return hasEnded(task);
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        // Blocks until an event arrives or 10 ms pass, so this does not spin.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}
