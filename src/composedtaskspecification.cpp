#include "composedtaskspecification.h"

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, qreal weight, QObject *parent)
    : TaskSpecification(parent, weight)
    , m_maxParallel(maxParallel)
{
    connect(this, &ComposedTaskSpecification::startNextTask, this, &ComposedTaskSpecification::onStartNextTask,
            Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    clearTasks();
}

void ComposedTaskSpecification::reset()
{
    // Copies: a sub-task's reset reports progress, and a slot behind that may change the lists.
    const QList<TaskSpecification *> tasks = m_allTasks;
    for (TaskSpecification *t : tasks)
        t->reset();
    m_pendingTasks = m_allTasks;
    m_runningTasks.clear();
    m_doneTasks.clear();
    m_subtaskCanceled = false;
    m_finishing = false;
    sumProgress();
    // The base reset also drops the start requests of the run before that are still queued.
    TaskSpecification::reset();
}

void ComposedTaskSpecification::getDownloadProgress(quint64 &received, quint64 &total, quint64 &sinceLastPoll,
                                                    bool &active)
{
    active = false;
    // A download's pull may end it (the stall watchdog), and the ending may reach code that changes the lists.
    const QList<TaskSpecification *> tasks = m_allTasks;
    for (TaskSpecification *t : tasks) {
        quint64 taskReceived = 0;
        quint64 taskTotal = 0;
        quint64 taskSinceLastPoll = 0;
        bool taskActive = false;
        t->getDownloadProgress(taskReceived, taskTotal, taskSinceLastPoll, taskActive);
        active = active || taskActive;
        sinceLastPoll += taskSinceLastPoll;
        if (taskTotal != 0) {
            received += taskReceived;
            total += taskTotal;
        }
    }
}

void ComposedTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state() != TASK_RUNNING)
        return;
    // A sub-task may end inside its cancel(), and that can end this task too.
    const QList<TaskSpecification *> tasks = m_allTasks;
    for (TaskSpecification *t : tasks)
        t->cancel();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    emit otherTaskCancelled(other);
}

void ComposedTaskSpecification::addTask(TaskSpecification *t)
{
    m_allTasks.append(t);
    m_pendingTasks.append(t);
    connectSubTask(t);
    // A sub-task may come with progress already; the others' values stand, so it is only added to the sum.
    m_reportedProgress.insert(t, t->progress());
    m_progressSum += t->progress();
    setProgress(m_progressSum);
}

void ComposedTaskSpecification::connectSubTask(TaskSpecification *t)
{
    connect(t, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(t, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(t, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(t, &TaskSpecification::updateProgress, this, [this, t](qreal) { takeSubTaskProgress(t); });
    connect(t, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, t, &TaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::clearTasks()
{
    const QList<TaskSpecification *> tasks = m_allTasks;
    for (TaskSpecification *t : tasks) {
        QObject::disconnect(t, nullptr, this, nullptr);
        // Also the notice to siblings: a released sub-task that still runs must not react to this task.
        QObject::disconnect(this, nullptr, t, nullptr);
        // deleteLater(), not delete: this may run inside one of t's own signals.
        t->deleteLater();
    }
    m_allTasks.clear();
    m_pendingTasks.clear();
    m_runningTasks.clear();
    m_doneTasks.clear();
    m_reportedProgress.clear();
    m_progressSum = 0.0;
}

void ComposedTaskSpecification::startTasks()
{
    setState(TASK_RUNNING);
    const int n = qMin(m_pendingTasks.size(), m_maxParallel);
    if (n <= 0) {
        subtasksDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (!m_pendingTasks.isEmpty() && !m_subtaskCanceled && !cancelRequested()) {
        TaskSpecification *t = m_pendingTasks.takeFirst();
        m_runningTasks.append(t);
        t->execute();
        return;
    }
    if (m_runningTasks.isEmpty() && !m_finishing) {
        m_finishing = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::onUpdateProgress(qreal)
{
    setProgress(sumProgress());
}

qreal ComposedTaskSpecification::sumProgress()
{
    m_reportedProgress.clear();
    m_progressSum = 0.0;
    for (const TaskSpecification *t : qAsConst(m_allTasks)) {
        m_progressSum += t->progress();
        m_reportedProgress.insert(t, t->progress());
    }
    return m_progressSum;
}

void ComposedTaskSpecification::takeSubTaskProgress(TaskSpecification *t)
{
    const auto reported = m_reportedProgress.find(t);
    if (reported == m_reportedProgress.end()) {
        onUpdateProgress(0.0);
        return;
    }
    m_progressSum += t->progress() - *reported;
    *reported = t->progress();
    setProgress(m_progressSum);
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification *t)
{
    m_runningTasks.removeOne(t);
    m_doneTasks.append(t);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification *t)
{
    m_runningTasks.removeOne(t);
    m_doneTasks.append(t);
    if (!m_subtaskCanceled) {
        m_subtaskCanceled = true;
        // Running siblings may end, and report back here, before this emission returns.
        emit otherTaskCancelled(t);
    }
    if (m_runningTasks.isEmpty() && !m_finishing) {
        m_finishing = true;
        subtasksDone();
    }
}

int ComposedTaskSpecification::computeState() const
{
    bool anyError = false;
    bool allFinished = true;
    for (const TaskSpecification *t : m_allTasks) {
        const int s = t->state();
        if (s == TASK_CANCELED)
            return TASK_CANCELED;
        if (s == TASK_ERROR)
            anyError = true;
        if (s != TASK_FINISHED)
            allFinished = false;
    }
    if (anyError)
        return TASK_ERROR;
    if (allFinished)
        return TASK_FINISHED;
    if (cancelRequested())
        return TASK_ERROR;
    return m_subtaskCanceled ? TASK_CANCELED : TASK_RUNNING;
}

void ComposedTaskSpecification::subtasksDone()
{
    const int result = computeState();
    if (result == TASK_ERROR)
        setError();
    else if (result == TASK_FINISHED)
        setFinished();
    else
        setCanceled();
}
