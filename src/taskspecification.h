#pragma once

#include <QObject>

// End and run states of a task. Plain integers: other code compares a task's state() against them.
enum TaskState {
    TASK_IDLE = 0,
    TASK_RUNNING = 1,
    TASK_FINISHED = 2,
    TASK_CANCELED = 3,
    TASK_ERROR = 4,
};

// Base of every step of an update run. A run is a tree of tasks that live on the GUI thread and report
// to their parent only through signals. Each task has a weight (its share of the parent's progress), a
// progress value (weight x fraction done), a state and a cancel flag.
//
// The setters never check the current state: keeping a task from ending twice is the caller's job.
class TaskSpecification : public QObject
{
    Q_OBJECT
public:
    TaskSpecification(QObject *parent, qreal weight);

    // Starts the task. The concrete task sets TASK_RUNNING and later ends it with exactly one of
    // setFinished(), setCanceled() or setError().
    virtual void execute() = 0;
    // Back to TASK_IDLE: drops the calls still queued to this task from the run before, clears the cancel
    // flag, progress 0, emits updateProgress(0). Every override ends by calling its base class's reset(), so
    // this runs for every task.
    virtual void reset();
    // Adds nothing here: only downloads report counters. Callers zero the four outputs before the call.
    virtual void getDownloadProgress(quint64 &received, quint64 &total, quint64 &sinceLastPoll, bool &active);
    // Records the request only; what a cancelled task does is up to the subclass.
    virtual void cancel();
    // A sibling (other) ended cancelled or failed while this task runs. Does nothing here.
    virtual void handleOtherTaskCancelled(TaskSpecification *other);

    // progress = weight x fraction, then updateProgress(progress). No clamping.
    void setProgress(qreal fraction);
    // Replaces the weight without recomputing or reporting the progress.
    void setWeight(qreal weight);
    // TASK_FINISHED, progress = weight, updateProgress(weight), finished(this).
    void setFinished();
    // TASK_CANCELED, canceled(this).
    void setCanceled();
    // TASK_ERROR, canceled(this): a failure is reported through canceled() as well.
    void setError();

    int state() const { return m_state; }
    qreal progress() const { return m_progress; }
    qreal weight() const { return m_weight; }
    bool cancelRequested() const { return m_cancelRequested; }

signals:
    void finished(TaskSpecification *task);
    // Emitted for TASK_CANCELED and TASK_ERROR; read state() to tell them apart.
    void canceled(TaskSpecification *task);
    // A failure text for a message box.
    void error(const QString &text);
    // The new absolute progress value, not a fraction.
    void updateProgress(qreal progress);
    // A progress text for the window's text view.
    void message(const QString &text);
    // Sent by a composed task to its sub-tasks: their sibling (task) ended cancelled or failed.
    void otherTaskCancelled(TaskSpecification *task);

public slots:
    // Calls handleOtherTaskCancelled() only when other is a sibling and this task is running.
    void onOtherTaskCancelled(TaskSpecification *other);

protected:
    // For the concrete execute(): TASK_RUNNING. Emits nothing.
    void setState(int state) { m_state = state; }

private:
    bool m_cancelRequested = false;
    qreal m_weight;
    qreal m_progress = 0.0;
    int m_state = TASK_IDLE;
};
