#pragma once

#include "taskspecification.h"

#include <QHash>
#include <QList>

// A task made of sub-tasks: it runs at most maxParallel of them at once, in the order added, sums their
// progress into its own (weight x the sum of the sub-tasks' progress values) and derives its outcome
// from their end states. Subclasses add their sub-tasks in execute() with addTask() and then call
// startTasks(); they may override subtasksDone() to act on the outcome.
//
// The next sub-task is always started from the event loop (the queued startNextTask() signal), never
// inside the signal of the sub-task that ended, so long chains of quick sub-tasks do not nest.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ComposedTaskSpecification(int maxParallel, qreal weight, QObject *parent);
    // Releases the sub-tasks with clearTasks().
    ~ComposedTaskSpecification() override;

    // Resets every sub-task and makes them all pending again, clears the end-of-run flags and drops the start
    // requests still queued from the run before. Every composed task's reset() ends here: those that rebuild
    // their sub-tasks call clearTasks() first, so that nothing of the old run is left to reset or to start.
    void reset() override;
    // Adds the sub-tasks' counters to the outputs; received and total only of downloads that know their size.
    void getDownloadProgress(quint64 &received, quint64 &total, quint64 &sinceLastPoll, bool &active) override;
    // Sets the flag, so no further sub-task starts; while running, also cancels every sub-task.
    void cancel() override;
    // Passes the notice on to the own sub-tasks.
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    // Appends t to the sub-tasks and connects it. Does not change t's QObject parent.
    void addTask(TaskSpecification *t);
    // Disconnects every sub-task and schedules it for deletion (deleteLater), then forgets them all.
    void clearTasks();
    // The combined outcome of the sub-tasks' states, in list order: any TASK_CANCELED gives
    // TASK_CANCELED; else any TASK_ERROR gives TASK_ERROR; else all finished (or none) gives TASK_FINISHED;
    // else TASK_ERROR when this task's cancel was requested, TASK_CANCELED after a sub-task reported
    // canceled, TASK_RUNNING otherwise.
    int computeState() const;

    const QList<TaskSpecification *> &allTasks() const { return m_allTasks; }
    const QList<TaskSpecification *> &pendingTasks() const { return m_pendingTasks; }
    const QList<TaskSpecification *> &runningTasks() const { return m_runningTasks; }
    const QList<TaskSpecification *> &doneTasks() const { return m_doneTasks; }
    int maxParallel() const { return m_maxParallel; }
    bool subtaskCanceled() const { return m_subtaskCanceled; }

signals:
    // Queued to onStartNextTask(): one request per sub-task to start.
    void startNextTask();

public slots:
    void onStartNextTask();
    // Recomputes the own progress from all sub-tasks; the argument is not used. The sub-tasks' own reports
    // take the cheaper way of takeSubTaskProgress().
    void onUpdateProgress(qreal progress);
    void onSubTaskFinished(TaskSpecification *t);
    // Receives cancels and failures alike.
    void onSubTaskCanceled(TaskSpecification *t);

protected:
    // Ends the task from computeState(): setError(), setFinished() or setCanceled(). Called exactly once
    // per run by the bookkeeping, once nothing is running any more.
    virtual void subtasksDone();
    // Connects t's signals to this task (finished, canceled, progress; error and message relayed) and
    // this task's otherTaskCancelled to t.
    virtual void connectSubTask(TaskSpecification *t);

    // For execute(): TASK_RUNNING, then starts up to maxParallel sub-tasks (ends at once when there are none).
    void startTasks();

private:
    // Adds the change of t's progress since its last report to the running sum: a list of thousands of
    // downloads reports after every chunk of every one of them.
    void takeSubTaskProgress(TaskSpecification *t);
    // The exact sum over all sub-tasks; also takes every sub-task's value afresh.
    qreal sumProgress();

    QList<TaskSpecification *> m_allTasks;
    QHash<const TaskSpecification *, qreal> m_reportedProgress; // per sub-task, as last taken into m_progressSum
    qreal m_progressSum = 0.0;
    QList<TaskSpecification *> m_pendingTasks;
    QList<TaskSpecification *> m_runningTasks;
    QList<TaskSpecification *> m_doneTasks;
    int m_maxParallel;
    bool m_subtaskCanceled = false;
    bool m_finishing = false;
};
