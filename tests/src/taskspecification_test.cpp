#include "taskspecification.h"

#include "support/metamethods.h"
#include "support/qtprinters.h"

#include <QSignalSpy>
#include <QStringList>
#include <gtest/gtest.h>

#include <functional>

namespace {

// The base behaviour only: execute() sets the running state and nothing else.
class PlainTask : public TaskSpecification
{
public:
    explicit PlainTask(qreal weight)
        : TaskSpecification(nullptr, weight)
    {
    }
    void execute() override { setState(TASK_RUNNING); }
};

// The end and progress signals of a task as one line each, in emission order.
void recordSignals(TaskSpecification &task, QStringList &log)
{
    QObject::connect(&task, &TaskSpecification::finished,
                     [&log, &task](TaskSpecification *t) { log << (t == &task ? "finished(this)" : "finished(?)"); });
    QObject::connect(&task, &TaskSpecification::canceled,
                     [&log, &task](TaskSpecification *t) { log << (t == &task ? "canceled(this)" : "canceled(?)"); });
    QObject::connect(&task, &TaskSpecification::updateProgress,
                     [&log](qreal p) { log << QString("updateProgress(%1)").arg(p); });
}

} // namespace

TEST(TaskSpecification, EndSettersSetStateProgressAndSignals)
{
    struct Case
    {
        const char *name;
        qreal weight;
        std::function<void(TaskSpecification &)> end;
        int state;
        qreal progress;
        QStringList signalLog;
    };
    const Case cases[] = {
        {"finished",
         0.25,
         &TaskSpecification::setFinished,
         TASK_FINISHED,
         0.25,
         {"updateProgress(0.25)", "finished(this)"}},
        {"finished-weight-0",
         0.0,
         &TaskSpecification::setFinished,
         TASK_FINISHED,
         0.0,
         {"updateProgress(0)", "finished(this)"}},
        {"canceled", 0.25, &TaskSpecification::setCanceled, TASK_CANCELED, 0.1, {"canceled(this)"}},
        {"error-reports-through-canceled", 0.25, &TaskSpecification::setError, TASK_ERROR, 0.1, {"canceled(this)"}},
        {"finished-twice-emits-again",
         0.5,
         [](TaskSpecification &t) {
             t.setFinished();
             t.setFinished();
         },
         TASK_FINISHED,
         0.5,
         {"updateProgress(0.5)", "finished(this)", "updateProgress(0.5)", "finished(this)"}},
        {"canceled-after-finished-overwrites",
         0.5,
         [](TaskSpecification &t) {
             t.setFinished();
             t.setCanceled();
         },
         TASK_CANCELED,
         0.5,
         {"updateProgress(0.5)", "finished(this)", "canceled(this)"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PlainTask task(c.weight);
        task.execute();
        task.setProgress(0.4);
        QStringList log;
        recordSignals(task, log);
        c.end(task);
        EXPECT_EQ(task.state(), c.state);
        EXPECT_DOUBLE_EQ(task.progress(), c.progress);
        EXPECT_EQ(log, c.signalLog);
        QObject::disconnect(&task, nullptr, nullptr, nullptr);
    }
}

TEST(TaskSpecification, ProgressIsWeightTimesFractionWithoutClamping)
{
    PlainTask task(0.5);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.setProgress(0.5);
    task.setProgress(3.0);
    ASSERT_EQ(progress.count(), 2);
    EXPECT_DOUBLE_EQ(progress.at(0).at(0).toDouble(), 0.25);
    EXPECT_DOUBLE_EQ(progress.at(1).at(0).toDouble(), 1.5);
    EXPECT_DOUBLE_EQ(task.progress(), 1.5);

    task.setWeight(2.0); // nothing is recomputed or reported
    EXPECT_EQ(progress.count(), 2);
    EXPECT_DOUBLE_EQ(task.progress(), 1.5);
    task.setProgress(0.5);
    EXPECT_DOUBLE_EQ(task.progress(), 1.0);
}

TEST(TaskSpecification, ResetMakesAnEndedOrCancelledTaskIdleAgain)
{
    PlainTask task(0.3);
    task.execute();
    task.cancel();
    task.setFinished();
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);

    task.reset();
    EXPECT_EQ(task.state(), TASK_IDLE);
    EXPECT_FALSE(task.cancelRequested());
    EXPECT_DOUBLE_EQ(task.progress(), 0.0);
    ASSERT_EQ(progress.count(), 1);
    EXPECT_DOUBLE_EQ(progress.at(0).at(0).toDouble(), 0.0);

    task.execute();
    EXPECT_EQ(task.state(), TASK_RUNNING);
}

TEST(TaskSpecification, CancelOnlyRecordsTheRequest)
{
    PlainTask task(1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    for (bool running : {false, true}) {
        SCOPED_TRACE(running ? "running" : "idle");
        task.reset();
        progress.clear();
        if (running)
            task.execute();
        task.cancel();
        EXPECT_TRUE(task.cancelRequested());
        EXPECT_EQ(task.state(), running ? TASK_RUNNING : TASK_IDLE);
        EXPECT_EQ(finished.count() + canceled.count() + progress.count(), 0);
    }
}

TEST(TaskSpecification, SiblingNoticeReachesOnlyARunningTaskAboutAnotherTask)
{
    struct NoticeTask : PlainTask
    {
        NoticeTask()
            : PlainTask(1.0)
        {
        }
        void handleOtherTaskCancelled(TaskSpecification *other) override { notices.append(other); }
        QList<TaskSpecification *> notices;
    };
    PlainTask sibling(1.0);
    struct Case
    {
        const char *name;
        std::function<void(TaskSpecification &)> prepare;
        bool aboutItself;
        bool reacts;
    };
    const Case cases[] = {
        {"running", [](TaskSpecification &t) { t.execute(); }, false, true},
        {"running-about-itself", [](TaskSpecification &t) { t.execute(); }, true, false},
        {"idle", [](TaskSpecification &) {}, false, false},
        {"finished",
         [](TaskSpecification &t) {
             t.execute();
             t.setFinished();
         },
         false, false},
        {"error",
         [](TaskSpecification &t) {
             t.execute();
             t.setError();
         },
         false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        NoticeTask task;
        c.prepare(task);
        TaskSpecification *other = c.aboutItself ? static_cast<TaskSpecification *>(&task) : &sibling;
        task.onOtherTaskCancelled(other);
        EXPECT_EQ(task.notices, c.reacts ? QList<TaskSpecification *> {other} : QList<TaskSpecification *> {});
    }
}

TEST(TaskSpecification, BaseDownloadCountersAreZero)
{
    PlainTask task(1.0);
    quint64 received = 5, total = 6, sinceLastPoll = 7;
    bool active = true;
    task.getDownloadProgress(received, total, sinceLastPoll, active);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(sinceLastPoll, 0u);
    EXPECT_FALSE(active);
}

// Other code connects to these by name, so the names and their order are part of the interface.
TEST(TaskSpecification, MetaObjectNamesSignalsAndSlotInOrder)
{
    const QMetaObject &mo = TaskSpecification::staticMetaObject;
    EXPECT_STREQ(mo.className(), "TaskSpecification");
    const QStringList expected = {"finished(TaskSpecification*)",
                                  "canceled(TaskSpecification*)",
                                  "error(QString)",
                                  "updateProgress(double)",
                                  "message(QString)",
                                  "otherTaskCancelled(TaskSpecification*)",
                                  "onOtherTaskCancelled(TaskSpecification*)"};
    EXPECT_EQ(ownMethodSignatures(mo), expected);
}
