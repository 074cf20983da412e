#include "asynctaskspecification.h"

#include "support/metamethods.h"
#include "support/qtprinters.h"
#include "support/scriptedtasks.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSemaphore>
#include <QSignalSpy>
#include <QThread>
#include <QThreadPool>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <new>
#include <stdexcept>

namespace {

using Work = std::function<bool(ASyncFunc &)>;

class WorkFunc : public ASyncFunc
{
public:
    explicit WorkFunc(Work work)
        : m_work(std::move(work))
    {
    }
    bool run() override { return m_work(*this); }

private:
    Work m_work;
};

// Runs a copy of `work` on the pool for every execute().
class WorkTask : public ASyncTaskSpecification
{
public:
    explicit WorkTask(Work work, qreal weight = 1.0)
        : ASyncTaskSpecification(nullptr, weight)
        , work(std::move(work))
    {
    }
    Work work;

protected:
    ASyncFunc *createFunc() override { return new WorkFunc(work); }
};

// Waits on the pool thread, but never for ever: a test that goes wrong fails instead of hanging.
bool acquire(QSemaphore &s)
{
    return s.tryAcquire(1, 10000);
}

} // namespace

TEST(ASyncTaskSpecification, WorkRunsOnThePoolAndReportsOnTheGuiThreadInOrder)
{
    QThread *guiThread = QCoreApplication::instance()->thread();
    QThread *workThread = nullptr;
    WorkTask task(
        [&workThread](ASyncFunc &f) {
            workThread = QThread::currentThread();
            emit f.message("first");
            emit f.progress(0.5);
            emit f.error("odd");
            emit f.message("second");
            return true;
        },
        0.5);
    QStringList log;
    bool allOnGuiThread = true;
    auto note = [&](const QString &line) {
        allOnGuiThread = allOnGuiThread && QThread::currentThread() == guiThread;
        log << line;
    };
    QObject::connect(&task, &TaskSpecification::message, [&](const QString &t) { note("message " + t); });
    QObject::connect(&task, &TaskSpecification::error, [&](const QString &t) { note("error " + t); });
    QObject::connect(&task, &TaskSpecification::updateProgress, [&](qreal p) { note(QString("progress %1").arg(p)); });
    QObject::connect(&task, &TaskSpecification::finished, [&] { note("finished"); });

    task.execute();
    EXPECT_EQ(task.state(), TASK_RUNNING);
    ASSERT_TRUE(waitForTaskEnd(&task));
    EXPECT_EQ(task.state(), TASK_FINISHED);
    EXPECT_NE(workThread, guiThread);
    EXPECT_TRUE(allOnGuiThread);
    EXPECT_EQ(
        log,
        (QStringList {"message first", "progress 0.25", "error odd", "message second", "progress 0.5", "finished"}));
}

TEST(ASyncTaskSpecification, FailedWorkEndsTheTaskCanceled)
{
    WorkTask task([](ASyncFunc &f) {
        emit f.message("could not do it");
        return false;
    });
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    ASSERT_TRUE(waitForTaskEnd(&task));
    EXPECT_EQ(task.state(), TASK_CANCELED);
    EXPECT_EQ(canceled.count(), 1);
    EXPECT_EQ(finished.count(), 0);
    ASSERT_EQ(messages.count(), 1);
    EXPECT_EQ(messages.at(0).at(0).toString(), QString("could not do it"));
}

// An exception must neither end the process nor leave the task running for ever.
TEST(ASyncTaskSpecification, ExceptionInWorkEndsTheTaskCanceledWithAMessage)
{
    struct Case
    {
        const char *name;
        Work work;
        QString text;
    };
    const Case cases[] = {
        {"bad_alloc", [](ASyncFunc &) -> bool { throw std::bad_alloc(); }, "Unexpected error: std::bad_alloc"},
        {"runtime_error", [](ASyncFunc &) -> bool { throw std::runtime_error("disk on fire"); },
         "Unexpected error: disk on fire"},
        {"not-an-exception-class", [](ASyncFunc &) -> bool { throw 42; }, "Unexpected error"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WorkTask task(c.work);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        ASSERT_TRUE(waitForTaskEnd(&task));
        EXPECT_EQ(task.state(), TASK_CANCELED);
        EXPECT_EQ(canceled.count(), 1);
        ASSERT_EQ(messages.count(), 1);
        EXPECT_EQ(messages.at(0).at(0).toString(), c.text);
    }

    // The pool and the process go on.
    WorkTask after([](ASyncFunc &) { return true; });
    after.execute();
    ASSERT_TRUE(waitForTaskEnd(&after));
    EXPECT_EQ(after.state(), TASK_FINISHED);
}

TEST(ASyncTaskSpecification, StartRunsOnTheCallingThreadAndCatchesToo)
{
    struct Case
    {
        const char *name;
        Work work;
        bool result;
        int messages;
    };
    const Case cases[] = {
        {"success", [](ASyncFunc &) { return QThread::currentThread() == QCoreApplication::instance()->thread(); },
         true, 0},
        {"exception", [](ASyncFunc &) -> bool { throw std::bad_alloc(); }, false, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WorkFunc f(c.work);
        QSignalSpy result(&f, &ASyncFunc::runResult);
        QSignalSpy messages(&f, &ASyncFunc::message);
        f.start();
        ASSERT_EQ(result.count(), 1);
        EXPECT_EQ(result.at(0).at(0).toBool(), c.result);
        EXPECT_EQ(messages.count(), c.messages);
    }
}

TEST(ASyncTaskSpecification, CancelDoesNotStopRunningWork)
{
    QSemaphore cancelled;
    WorkTask task([&cancelled](ASyncFunc &) { return acquire(cancelled); });
    task.execute();
    task.cancel();
    EXPECT_TRUE(task.cancelRequested());
    EXPECT_EQ(task.state(), TASK_RUNNING);
    cancelled.release();
    ASSERT_TRUE(waitForTaskEnd(&task));
    EXPECT_EQ(task.state(), TASK_FINISHED);
}

TEST(ASyncTaskSpecification, TwoTasksRunAtOnceAndEachGetsItsOwnResult)
{
    QThreadPool *pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    pool->setMaxThreadCount(qMax(threads, 2));
    QSemaphore firstStarted, secondStarted;
    WorkTask first([&](ASyncFunc &) {
        firstStarted.release();
        return acquire(secondStarted); // only possible when both run at the same time
    });
    WorkTask second([&](ASyncFunc &) {
        secondStarted.release();
        return !acquire(firstStarted); // succeeds, so the task reports false
    });
    first.execute();
    second.execute();
    ASSERT_TRUE(waitForTaskEnd(&first));
    ASSERT_TRUE(waitForTaskEnd(&second));
    pool->setMaxThreadCount(threads);
    EXPECT_EQ(first.state(), TASK_FINISHED);
    EXPECT_EQ(second.state(), TASK_CANCELED);
}

TEST(ASyncTaskSpecification, ResultForATaskThatNoLongerRunsIsIgnored)
{
    WorkTask task([](ASyncFunc &) { return true; });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.onRunResult(true); // idle
    EXPECT_EQ(task.state(), TASK_IDLE);
    task.execute();
    ASSERT_TRUE(waitForTaskEnd(&task));
    task.onRunResult(false); // already finished
    EXPECT_EQ(task.state(), TASK_FINISHED);
    EXPECT_EQ(finished.count(), 1);
}

// reset() waits for the work; the old run's queued result must not end the next run.
TEST(ASyncTaskSpecification, ResetDropsTheResultOfTheRunBefore)
{
    WorkTask task([](ASyncFunc &) { return false; });
    task.execute();
    task.reset(); // the failed result is queued by now, not yet delivered
    EXPECT_EQ(task.state(), TASK_IDLE);

    QSemaphore go;
    task.work = [&go](ASyncFunc &) { return acquire(go); };
    task.execute();
    QCoreApplication::processEvents();
    EXPECT_EQ(task.state(), TASK_RUNNING);
    go.release();
    ASSERT_TRUE(waitForTaskEnd(&task));
    EXPECT_EQ(task.state(), TASK_FINISHED);
}

// reset() blocks until the pool is idle. The work waits for reset() to return and gives up by itself only after
// a second: a reset that waits holds up through that second, one that does not is seen by the work at once.
TEST(ASyncTaskSpecification, ResetWaitsUntilThePoolIsIdle)
{
    QSemaphore started;
    QSemaphore resetReturned;
    std::atomic<bool> sawResetReturn {false};
    WorkTask task([&](ASyncFunc &) {
        started.release();
        sawResetReturn = resetReturned.tryAcquire(1, 1000);
        return true;
    });
    task.execute();
    ASSERT_TRUE(acquire(started));
    task.reset();
    resetReturned.release();
    QThreadPool::globalInstance()->waitForDone(-1);
    EXPECT_FALSE(sawResetReturn);
    EXPECT_EQ(task.state(), TASK_IDLE);
}

TEST(ASyncTaskSpecification, RunnableDeletesItsWorkObject)
{
    auto *f = new WorkFunc([](ASyncFunc &) { return true; });
    QPointer<ASyncFunc> watch(f);
    QSignalSpy result(f, &ASyncFunc::runResult);
    QThreadPool::globalInstance()->start(new ASyncRun(f));
    QThreadPool::globalInstance()->waitForDone(-1);
    EXPECT_EQ(result.count(), 1);
    EXPECT_TRUE(watch.isNull());
}

// Asynchronous sub-tasks in a composed task: a cancel stops the pending ones, the running one still decides.
TEST(ASyncTaskSpecification, ComposedParentStartsNoPendingWorkAfterCancel)
{
    QSemaphore go;
    int runs = 0;
    ScriptedComposedTask parent(1);
    auto *firstTask = new WorkTask([&](ASyncFunc &) {
        ++runs;
        return acquire(go);
    });
    firstTask->setParent(&parent);
    parent.addTask(firstTask);
    auto *secondTask = new WorkTask([&](ASyncFunc &) {
        ++runs;
        return true;
    });
    secondTask->setParent(&parent);
    parent.addTask(secondTask);

    parent.execute();
    ASSERT_TRUE(waitUntil([&] { return firstTask->state() == TASK_RUNNING; }));
    parent.cancel();
    go.release();
    ASSERT_TRUE(waitForTaskEnd(&parent));
    QThreadPool::globalInstance()->waitForDone(-1);
    EXPECT_EQ(firstTask->state(), TASK_FINISHED);
    EXPECT_EQ(secondTask->state(), TASK_IDLE);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(parent.state(), TASK_ERROR); // cancel requested and a sub-task never started
}

TEST(ASyncTaskSpecification, MetaObjectsNameTheirSignalsAndSlots)
{
    struct Case
    {
        const QMetaObject *mo;
        const char *className;
        QStringList methods;
    };
    const Case cases[] = {
        {&ASyncFunc::staticMetaObject,
         "ASyncFunc",
         {"runResult(bool)", "message(QString)", "error(QString)", "progress(double)"}},
        {&ASyncTaskSpecification::staticMetaObject,
         "ASyncTaskSpecification",
         {"onRunResult(bool)", "onProgress(double)"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.className);
        EXPECT_STREQ(c.mo->className(), c.className);
        EXPECT_EQ(ownMethodSignatures(*c.mo), c.methods);
    }
}
