#pragma once

#include "taskspecification.h"

#include <QObject>
#include <QRunnable>

// A work object that runs on a pool thread. It holds copies of its inputs and never touches its task:
// everything it has to say travels through its signals, which reach the task by queued connections.
class ASyncFunc : public QObject
{
    Q_OBJECT
public:
    ASyncFunc();

    // The work, on a pool thread. True on success; the reasons for a failure go out as message() first.
    virtual bool run() = 0;
    // run() and then runResult() on the calling thread.
    void start();

signals:
    void runResult(bool ok);
    // A progress text for the window's text view.
    void message(const QString &text);
    void error(const QString &text);
    // Fraction done, 0 to 1.
    void progress(qreal fraction);
};

// Runs one work object on the thread pool and then reports its result. Owns the work object; the
// pool deletes the runnable after run() (auto-deletion), which deletes the work object.
//
// Whatever escapes the work object's run() (std::bad_alloc, say) is caught here and reported as a
// message and a failed result: a task must never wait for a result that does not come.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc *func);
    ~ASyncRun() override;

    void run() override;

private:
    ASyncFunc *m_func;
};

// A task whose work object runs on the global thread pool. The task lives on the GUI thread; the
// work object's messages, errors, progress and result arrive there as queued signals. A failed work
// object ends the task in TASK_CANCELED. cancel() only sets the flag: work already on the pool runs to
// its end and its result decides the outcome.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ASyncTaskSpecification(QObject *parent, qreal weight);

    // Creates and connects the work object, hands it to the global pool, then TASK_RUNNING.
    void execute() override;
    // Blocks until the whole global pool is idle (not only this task's work), drops the results and
    // other queued calls still on their way to this task, then the base reset.
    void reset() override;

public slots:
    void onRunResult(bool ok);
    void onProgress(qreal fraction);

protected:
    // A new work object holding copies of the task's inputs; the caller takes ownership.
    virtual ASyncFunc *createFunc() = 0;
    // Queued connections from f: runResult, message and error (relayed), progress. Overrides add theirs.
    virtual void connectFunc(ASyncFunc *f);
    // Ends the task while it runs: setFinished() on ok, setCanceled() otherwise. Ignored in any other
    // state. Overrides act on the result and then call this.
    virtual void runDone(bool ok);
};
