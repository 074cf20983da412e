#pragma once

#include "composedtaskspecification.h"
#include "taskspecification.h"

#include <QList>

#include <functional>

// Counts how deeply execute() calls nest, across every task that shares one probe.
struct NestingProbe
{
    int depth = 0;
    int maxDepth = 0;
};

// A synchronous task whose execute() ends the way the test asks, for driving composed tasks.
class ScriptedTask : public TaskSpecification
{
    Q_OBJECT
public:
    enum Outcome {
        Finish, // setFinished() inside execute()
        Cancel, // setCanceled() inside execute()
        Fail, // setError() inside execute()
        Stay, // stays running until the test ends it
    };

    explicit ScriptedTask(Outcome outcome, qreal weight = 1.0, QObject *parent = nullptr);

    void execute() override;
    void getDownloadProgress(quint64 &received, quint64 &total, quint64 &sinceLastPoll, bool &active) override;
    // With endOnCancel: a running task ends in TASK_ERROR, as a download does.
    void cancel() override;
    // Records the notice; with endOnSiblingCancel a running task ends in TASK_CANCELED, as a download does.
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    void forceState(int state) { setState(state); }
    void setCounters(quint64 received, quint64 total, quint64 sinceLastPoll, bool active);

    Outcome outcome;
    bool endOnCancel = false;
    bool endOnSiblingCancel = false;
    NestingProbe *probe = nullptr;
    int executeCount = 0;
    QList<TaskSpecification *> siblingNotices;

private:
    quint64 m_received = 0;
    quint64 m_total = 0;
    quint64 m_sinceLastPoll = 0;
    bool m_active = false;
};

// A composed task whose execute() starts the sub-tasks added beforehand; counts its subtasksDone() calls.
class ScriptedComposedTask : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    explicit ScriptedComposedTask(int maxParallel, qreal weight = 1.0, QObject *parent = nullptr);

    void execute() override { startTasks(); }
    // Makes the running state reachable for tests that end sub-tasks by hand.
    void forceState(int state) { setState(state); }

    int subtasksDoneCalls = 0;

protected:
    void subtasksDone() override;
};

// Runs the event loop until task has ended (state finished, canceled or error) or timeoutMs has passed.
// Returns whether it ended. Returns at once for a task that has already ended.
bool waitForTaskEnd(TaskSpecification *task, int timeoutMs = 10000);

// Runs the event loop until condition() holds or timeoutMs has passed. Returns condition().
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 10000);
