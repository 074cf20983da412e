#include "composedtaskspecification.h"

#include "configuration.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"

#include "support/sandbox.h"
#include "support/metamethods.h"
#include "support/qtprinters.h"
#include "support/scriptedtasks.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using Outcome = ScriptedTask::Outcome;

// Sub-tasks are children of the composed task, so they go with it.
QList<ScriptedTask *> addScripted(ComposedTaskSpecification &parent, const std::vector<Outcome> &outcomes,
                                  qreal weight = 1.0)
{
    QList<ScriptedTask *> tasks;
    for (Outcome o : outcomes) {
        auto *t = new ScriptedTask(o, weight, &parent);
        parent.addTask(t);
        tasks << t;
    }
    return tasks;
}

QList<int> statesOf(const QList<ScriptedTask *> &tasks)
{
    QList<int> states;
    for (const ScriptedTask *t : tasks)
        states << t->state();
    return states;
}

void processDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

// The outcome rule on sub-tasks in given states, in list order, with and without the own cancel flag.
TEST(ComposedTaskSpecification, OutcomeRuleFollowsListOrder)
{
    const int F = TASK_FINISHED, C = TASK_CANCELED, E = TASK_ERROR, I = TASK_IDLE, R = TASK_RUNNING;
    struct Case
    {
        const char *name;
        QList<int> states;
        bool ownCancel;
        int outcome;
    };
    const Case cases[] = {
        {"none", {}, false, TASK_FINISHED},
        {"none-cancel-requested", {}, true, TASK_FINISHED},
        {"all-finished", {F, F, F}, false, TASK_FINISHED},
        {"all-finished-cancel-requested", {F, F}, true, TASK_FINISHED},
        {"error-last", {F, E}, false, TASK_ERROR},
        {"error-first", {E, F}, false, TASK_ERROR},
        {"two-errors", {E, E}, true, TASK_ERROR},
        {"error-then-idle", {E, I}, false, TASK_ERROR},
        {"cancel-after-error", {F, E, C}, false, TASK_CANCELED},
        {"cancel-before-error", {C, E}, false, TASK_CANCELED},
        {"cancel-before-error-cancel-requested", {C, E}, true, TASK_CANCELED},
        {"cancel-then-idle", {C, I}, true, TASK_CANCELED},
        {"cancel-between-finished", {F, C, F}, false, TASK_CANCELED},
        {"never-started-cancel-requested", {F, I}, true, TASK_ERROR},
        {"still-running-cancel-requested", {F, R}, true, TASK_ERROR},
        {"never-started-no-request", {F, I}, false, TASK_RUNNING},
        {"idle-only-no-request", {I}, false, TASK_RUNNING},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedComposedTask composed(1);
        for (int s : c.states) {
            auto *t = new ScriptedTask(Outcome::Stay, 1.0, &composed);
            t->forceState(s);
            composed.addTask(t);
        }
        if (c.ownCancel)
            composed.cancel(); // not running: only the flag
        EXPECT_EQ(composed.computeState(), c.outcome);
    }
}

// Whole runs: every sub-task ends inside its execute(); the composed task ends exactly once.
TEST(ComposedTaskSpecification, RunsEndByTheOutcomeRule)
{
    const Outcome Fin = Outcome::Finish, Can = Outcome::Cancel, Err = Outcome::Fail;
    const int F = TASK_FINISHED, C = TASK_CANCELED, E = TASK_ERROR, I = TASK_IDLE;
    struct Case
    {
        const char *name;
        int maxParallel;
        std::vector<Outcome> outcomes;
        int outcome;
        QList<int> states;
    };
    const Case cases[] = {
        {"empty", 1, {}, TASK_FINISHED, {}},
        {"all-finish-in-turn", 1, {Fin, Fin, Fin}, TASK_FINISHED, {F, F, F}},
        {"all-finish-together", 3, {Fin, Fin, Fin}, TASK_FINISHED, {F, F, F}},
        {"more-parallel-than-tasks", 8, {Fin, Fin}, TASK_FINISHED, {F, F}},
        {"failure-stops-further-starts", 1, {Fin, Err, Fin}, TASK_ERROR, {F, E, I}},
        {"cancel-stops-further-starts", 1, {Fin, Can, Fin}, TASK_CANCELED, {F, C, I}},
        // Starts come one at a time from the event loop: the first failure ends it before the second start.
        {"failure-before-second-start-of-batch", 2, {Err, Can, Fin}, TASK_ERROR, {E, I, I}},
        {"failure-in-second-batch", 2, {Fin, Fin, Err, Fin, Fin}, TASK_ERROR, {F, F, E, I, I}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedComposedTask composed(c.maxParallel);
        const QList<ScriptedTask *> tasks = addScripted(composed, c.outcomes);
        QSignalSpy finished(&composed, &TaskSpecification::finished);
        QSignalSpy canceled(&composed, &TaskSpecification::canceled);
        composed.execute();
        ASSERT_TRUE(waitForTaskEnd(&composed));
        QCoreApplication::processEvents(); // start requests still queued must not end it again
        EXPECT_EQ(composed.state(), c.outcome);
        EXPECT_EQ(statesOf(tasks), c.states);
        EXPECT_EQ(finished.count(), c.outcome == TASK_FINISHED ? 1 : 0);
        EXPECT_EQ(canceled.count(), c.outcome == TASK_FINISHED ? 0 : 1);
        EXPECT_EQ(composed.subtasksDoneCalls, 1);
    }
}

TEST(ComposedTaskSpecification, EmptyTaskFinishesInsideExecute)
{
    ScriptedComposedTask composed(1);
    QSignalSpy finished(&composed, &TaskSpecification::finished);
    composed.execute();
    EXPECT_EQ(composed.state(), TASK_FINISHED);
    EXPECT_EQ(finished.count(), 1);
}

TEST(ComposedTaskSpecification, StartsAtMostMaxParallelAndOneMorePerFinishedTask)
{
    ScriptedComposedTask composed(2);
    const QList<ScriptedTask *> tasks = addScripted(composed, std::vector<Outcome>(5, Outcome::Stay));
    auto started = [&tasks] {
        QList<int> counts;
        for (const ScriptedTask *t : tasks)
            counts << t->executeCount;
        return counts;
    };
    composed.execute();
    EXPECT_EQ(started(), (QList<int> {0, 0, 0, 0, 0})); // started from the event loop only
    QCoreApplication::processEvents();
    EXPECT_EQ(started(), (QList<int> {1, 1, 0, 0, 0}));

    tasks[1]->setFinished();
    QCoreApplication::processEvents();
    EXPECT_EQ(started(), (QList<int> {1, 1, 1, 0, 0}));
    tasks[0]->setFinished();
    tasks[2]->setFinished();
    QCoreApplication::processEvents();
    EXPECT_EQ(started(), (QList<int> {1, 1, 1, 1, 1}));
    EXPECT_EQ(composed.runningTasks(), (QList<TaskSpecification *> {tasks[3], tasks[4]}));

    tasks[4]->setFinished();
    QCoreApplication::processEvents();
    EXPECT_EQ(composed.state(), TASK_RUNNING);
    tasks[3]->setFinished();
    ASSERT_TRUE(waitForTaskEnd(&composed));
    EXPECT_EQ(composed.state(), TASK_FINISHED);
    EXPECT_EQ(composed.doneTasks(), (QList<TaskSpecification *> {tasks[1], tasks[0], tasks[2], tasks[4], tasks[3]}));
}

// A sub-task that ends inside its execute() is booked before the start returns; the next start is queued.
TEST(ComposedTaskSpecification, SynchronousEndIsBookedAndNextStartIsQueued)
{
    ScriptedComposedTask composed(1);
    const QList<ScriptedTask *> tasks = addScripted(composed, {Outcome::Finish, Outcome::Finish});
    composed.forceState(TASK_RUNNING);
    composed.onStartNextTask();
    EXPECT_EQ(composed.doneTasks(), (QList<TaskSpecification *> {tasks[0]}));
    EXPECT_TRUE(composed.runningTasks().isEmpty());
    EXPECT_EQ(tasks[1]->executeCount, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(tasks[1]->executeCount, 1);
}

TEST(ComposedTaskSpecification, TenThousandQuickSubTasksDoNotNest)
{
    // One at a time, each ending inside its execute(): a start inside the previous end would nest 10,000 deep.
    const int count = 10000;
    NestingProbe probe;
    ScriptedComposedTask composed(1);
    const QList<ScriptedTask *> tasks = addScripted(composed, std::vector<Outcome>(count, Outcome::Finish));
    for (ScriptedTask *t : tasks)
        t->probe = &probe;
    composed.execute();
    ASSERT_TRUE(waitForTaskEnd(&composed, 60000));
    EXPECT_EQ(composed.state(), TASK_FINISHED);
    EXPECT_EQ(composed.doneTasks().size(), count);
    EXPECT_EQ(probe.maxDepth, 1);
    EXPECT_EQ(composed.subtasksDoneCalls, 1);
}

TEST(ComposedTaskSpecification, TenThousandRunningSubTasksFinishingAtOnceEndItOnce)
{
    const int count = 10000;
    ScriptedComposedTask composed(count);
    const QList<ScriptedTask *> tasks = addScripted(composed, std::vector<Outcome>(count, Outcome::Stay));
    QSignalSpy finished(&composed, &TaskSpecification::finished);
    composed.execute();
    QCoreApplication::processEvents();
    ASSERT_EQ(composed.runningTasks().size(), count);
    for (ScriptedTask *t : tasks)
        t->setFinished();
    ASSERT_TRUE(waitForTaskEnd(&composed, 60000));
    QCoreApplication::processEvents();
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(composed.subtasksDoneCalls, 1);
}

TEST(ComposedTaskSpecification, ProgressIsWeightTimesSumOfSubTasksInNestedTrees)
{
    // root (1.0): inner (0.6) with leaves a, b (0.5 each); leaf c (0.4)
    ScriptedComposedTask root(1, 1.0);
    auto *inner = new ScriptedComposedTask(1, 0.6, &root);
    root.addTask(inner);
    const QList<ScriptedTask *> leaves = addScripted(*inner, {Outcome::Stay, Outcome::Stay}, 0.5);
    auto *c = new ScriptedTask(Outcome::Stay, 0.4, &root);
    root.addTask(c);
    QSignalSpy rootProgress(&root, &TaskSpecification::updateProgress);

    leaves[0]->setProgress(0.5);
    EXPECT_DOUBLE_EQ(leaves[0]->progress(), 0.25);
    EXPECT_DOUBLE_EQ(inner->progress(), 0.15);
    EXPECT_DOUBLE_EQ(root.progress(), 0.15);
    leaves[0]->setFinished();
    leaves[1]->setFinished();
    EXPECT_DOUBLE_EQ(inner->progress(), 0.6);
    c->setProgress(0.5);
    EXPECT_DOUBLE_EQ(root.progress(), 0.8);
    c->setFinished();
    EXPECT_DOUBLE_EQ(root.progress(), 1.0);
    ASSERT_FALSE(rootProgress.isEmpty());
    EXPECT_DOUBLE_EQ(rootProgress.last().at(0).toDouble(), 1.0);

    // Children weighing more than 1.0 in all carry the parent past its weight, as the main task does.
    ScriptedComposedTask heavy(1, 1.0);
    addScripted(heavy, {Outcome::Finish, Outcome::Finish, Outcome::Finish}, 0.4);
    QSignalSpy heavyProgress(&heavy, &TaskSpecification::updateProgress);
    heavy.execute();
    ASSERT_TRUE(waitForTaskEnd(&heavy));
    ASSERT_GE(heavyProgress.count(), 2);
    EXPECT_DOUBLE_EQ(heavyProgress.at(heavyProgress.count() - 2).at(0).toDouble(), 1.2);
    EXPECT_DOUBLE_EQ(heavy.progress(), 1.0); // the own end sets the weight

    // Adding a sub-task that already has progress counts at once.
    ScriptedComposedTask late(1, 0.5);
    auto *done = new ScriptedTask(Outcome::Stay, 0.5, &late);
    done->setFinished();
    late.addTask(done);
    EXPECT_DOUBLE_EQ(late.progress(), 0.25);
}

// The sum is kept from each sub-task's change, as a long download list reports after every chunk of every
// file; it must stay the exact sum through many reports, resets, later tasks and a released list.
TEST(ComposedTaskSpecification, ProgressSumStaysExactThroughReportsResetsAndNewTasks)
{
    const int n = 2000;
    ScriptedComposedTask list(6, 0.5);
    const QList<ScriptedTask *> files = addScripted(list, std::vector<Outcome>(n, Outcome::Stay), 1.0 / n);
    const auto exactSum = [&list] {
        qreal sum = 0.0;
        for (const TaskSpecification *t : list.allTasks())
            sum += t->progress();
        return 0.5 * sum;
    };
    for (int step = 1; step <= 10; ++step) {
        for (int i = 0; i < n; ++i)
            files[i]->setProgress(std::fmod(0.37 * (i + step), 1.0));
    }
    EXPECT_NEAR(list.progress(), exactSum(), 1e-12);
    for (int i = 0; i < n; i += 2)
        files[i]->setFinished();
    EXPECT_NEAR(list.progress(), exactSum(), 1e-12);

    // Sub-tasks that go back to 0 on their own reset are taken at their new value.
    for (int i = 0; i < n; i += 3)
        files[i]->reset();
    EXPECT_NEAR(list.progress(), exactSum(), 1e-12);
    list.reset();
    EXPECT_DOUBLE_EQ(list.progress(), 0.0);
    files[5]->setProgress(0.5);
    EXPECT_DOUBLE_EQ(list.progress(), 0.5 * 0.5 / n);

    // A released list leaves nothing in the sum: the next tasks alone count.
    list.clearTasks();
    auto *next = new ScriptedTask(Outcome::Stay, 0.4, &list);
    list.addTask(next);
    EXPECT_DOUBLE_EQ(list.progress(), 0.0);
    next->setProgress(0.5);
    EXPECT_DOUBLE_EQ(list.progress(), 0.1);
    files[7]->setProgress(1.0); // released: its reports reach the list no more
    EXPECT_DOUBLE_EQ(list.progress(), 0.1);
    list.onUpdateProgress(0.0); // the public slot recomputes from the sub-tasks
    EXPECT_DOUBLE_EQ(list.progress(), 0.1);
}

TEST(ComposedTaskSpecification, DownloadCountersAreSummedThroughTheTree)
{
    ScriptedComposedTask root(1);
    auto *sized = new ScriptedTask(Outcome::Stay, 1.0, &root);
    sized->setCounters(10, 100, 5, true);
    root.addTask(sized);
    auto *inner = new ScriptedComposedTask(1, 1.0, &root);
    root.addTask(inner);
    auto *unsized = new ScriptedTask(Outcome::Stay, 1.0, inner);
    unsized->setCounters(7, 0, 3, false); // no size yet: only the bytes since the last pull count
    inner->addTask(unsized);
    auto *second = new ScriptedTask(Outcome::Stay, 1.0, inner);
    second->setCounters(20, 40, 2, false);
    inner->addTask(second);

    quint64 received = 1, total = 1, sinceLastPoll = 1; // added to, not replaced
    bool active = false;
    root.getDownloadProgress(received, total, sinceLastPoll, active);
    EXPECT_EQ(received, 31u);
    EXPECT_EQ(total, 141u);
    EXPECT_EQ(sinceLastPoll, 11u);
    EXPECT_TRUE(active);

    sized->setCounters(10, 100, 5, false);
    active = true;
    root.getDownloadProgress(received, total, sinceLastPoll, active);
    EXPECT_FALSE(active);
}

TEST(ComposedTaskSpecification, CancelOfAnIdleTaskTouchesNoSubTask)
{
    ScriptedComposedTask composed(2);
    const QList<ScriptedTask *> tasks = addScripted(composed, {Outcome::Stay, Outcome::Stay});
    composed.cancel();
    EXPECT_TRUE(composed.cancelRequested());
    for (const ScriptedTask *t : tasks)
        EXPECT_FALSE(t->cancelRequested());
}

TEST(ComposedTaskSpecification, CancelReachesEverySubTaskAndStopsStarts)
{
    struct Case
    {
        const char *name;
        bool runningEndOnCancel; // as downloads do; otherwise they run to their normal end
        int outcome;
        QList<int> states;
    };
    const Case cases[] = {
        {"running-sub-tasks-fail", true, TASK_ERROR, {TASK_FINISHED, TASK_ERROR, TASK_ERROR, TASK_IDLE}},
        {"running-sub-tasks-finish", false, TASK_ERROR, {TASK_FINISHED, TASK_FINISHED, TASK_FINISHED, TASK_IDLE}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedComposedTask composed(2);
        const QList<ScriptedTask *> tasks = addScripted(composed, std::vector<Outcome>(4, Outcome::Stay));
        for (ScriptedTask *t : tasks)
            t->endOnCancel = c.runningEndOnCancel;
        composed.execute();
        QCoreApplication::processEvents();
        tasks[0]->setFinished();
        QCoreApplication::processEvents();
        ASSERT_EQ(composed.runningTasks(), (QList<TaskSpecification *> {tasks[1], tasks[2]}));

        composed.cancel();
        for (const ScriptedTask *t : tasks)
            EXPECT_TRUE(t->cancelRequested()); // pending and ended ones included
        if (!c.runningEndOnCancel) {
            tasks[1]->setFinished();
            tasks[2]->setFinished();
        }
        ASSERT_TRUE(waitForTaskEnd(&composed));
        QCoreApplication::processEvents();
        EXPECT_EQ(composed.state(), c.outcome);
        EXPECT_EQ(statesOf(tasks), c.states);
        EXPECT_EQ(tasks[3]->executeCount, 0);
    }
}

// A failing sub-task tells its running siblings, nested ones included, once; only running ones react.
TEST(ComposedTaskSpecification, FailureNoticeReachesRunningSiblings)
{
    ScriptedComposedTask root(4);
    auto *reacting = new ScriptedTask(Outcome::Stay, 1.0, &root);
    reacting->endOnSiblingCancel = true;
    root.addTask(reacting);
    auto *inner = new ScriptedComposedTask(1, 1.0, &root);
    root.addTask(inner);
    auto *innerRunning = new ScriptedTask(Outcome::Stay, 1.0, inner);
    innerRunning->endOnSiblingCancel = true;
    inner->addTask(innerRunning);
    auto *innerPending = new ScriptedTask(Outcome::Stay, 1.0, inner);
    inner->addTask(innerPending);
    auto *ignoring = new ScriptedTask(Outcome::Stay, 1.0, &root);
    root.addTask(ignoring);
    auto *failing = new ScriptedTask(Outcome::Stay, 1.0, &root);
    root.addTask(failing);
    QSignalSpy notices(&root, &TaskSpecification::otherTaskCancelled);

    root.execute();
    ASSERT_TRUE(waitUntil([&] { return root.runningTasks().size() == 4 && innerRunning->state() == TASK_RUNNING; }));

    failing->setError();
    EXPECT_EQ(reacting->siblingNotices, QList<TaskSpecification *> {failing});
    EXPECT_EQ(reacting->state(), TASK_CANCELED);
    EXPECT_EQ(innerRunning->siblingNotices, QList<TaskSpecification *> {failing});
    EXPECT_EQ(innerRunning->state(), TASK_CANCELED);
    EXPECT_TRUE(innerPending->siblingNotices.isEmpty());
    EXPECT_EQ(ignoring->siblingNotices, QList<TaskSpecification *> {failing});
    EXPECT_TRUE(failing->siblingNotices.isEmpty());
    EXPECT_EQ(notices.count(), 1); // the siblings that ended cancelled do not notify again
    EXPECT_EQ(root.state(), TASK_RUNNING); // one sibling still runs

    ignoring->setFinished();
    ASSERT_TRUE(waitForTaskEnd(&root));
    QCoreApplication::processEvents();
    EXPECT_EQ(innerPending->executeCount, 0);
    EXPECT_EQ(inner->state(), TASK_CANCELED);
    EXPECT_EQ(root.state(), TASK_CANCELED); // a sibling ended cancelled: that outweighs the failure
    EXPECT_EQ(root.subtasksDoneCalls, 1);
}

TEST(ComposedTaskSpecification, MessagesAndErrorsOfAnyDepthReachTheRootInOrder)
{
    ScriptedComposedTask root(1);
    auto *inner = new ScriptedComposedTask(1, 1.0, &root);
    root.addTask(inner);
    auto *leaf = new ScriptedTask(Outcome::Stay, 1.0, inner);
    inner->addTask(leaf);
    QSignalSpy messages(&root, &TaskSpecification::message);
    QSignalSpy errors(&root, &TaskSpecification::error);
    emit leaf->message("one");
    emit leaf->error("bad");
    emit inner->message("two");
    ASSERT_EQ(messages.count(), 2);
    EXPECT_EQ(messages.at(0).at(0).toString(), QString("one"));
    EXPECT_EQ(messages.at(1).at(0).toString(), QString("two"));
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors.at(0).at(0).toString(), QString("bad"));
}

TEST(ComposedTaskSpecification, ResetMakesEverySubTaskPendingAgain)
{
    ScriptedComposedTask composed(1);
    const QList<ScriptedTask *> tasks = addScripted(composed, {Outcome::Finish, Outcome::Fail, Outcome::Finish});
    composed.execute();
    ASSERT_TRUE(waitForTaskEnd(&composed));
    ASSERT_EQ(composed.state(), TASK_ERROR);

    tasks[1]->outcome = Outcome::Finish;
    composed.reset();
    EXPECT_EQ(composed.state(), TASK_IDLE);
    EXPECT_DOUBLE_EQ(composed.progress(), 0.0);
    EXPECT_EQ(statesOf(tasks), (QList<int> {TASK_IDLE, TASK_IDLE, TASK_IDLE}));
    EXPECT_EQ(composed.pendingTasks(), composed.allTasks());
    composed.execute();
    ASSERT_TRUE(waitForTaskEnd(&composed));
    EXPECT_EQ(composed.state(), TASK_FINISHED);
}

// reset() may come while start requests of the run before are still queued; none of them reaches the next run.
TEST(ComposedTaskSpecification, ResetDropsTheStartRequestsOfTheRunBefore)
{
    ScriptedComposedTask composed(1);
    const QList<ScriptedTask *> tasks = addScripted(composed, {Outcome::Stay, Outcome::Stay});
    composed.execute(); // its start request is queued
    composed.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(statesOf(tasks), (QList<int> {TASK_IDLE, TASK_IDLE})); // nothing starts before execute()

    composed.execute();
    QCoreApplication::processEvents();
    EXPECT_EQ(statesOf(tasks), (QList<int> {TASK_RUNNING, TASK_IDLE})); // one at a time, as maxParallel says
    EXPECT_EQ(composed.runningTasks().size(), 1);
}

// The replacement and deletion steps build new sub-tasks on every run; after reset() a second run ends as well.
TEST(ComposedTaskSpecification, ListStepsRunAgainAfterReset)
{
    Sandbox box;
    Configuration config;
    config.m_installDir = box.path("inst");
    config.m_tempDir = box.path("tmp");
    FileReplaceEntry entry;
    entry.section = "client";
    entry.name = "a.txt";
    QList<FileReplaceEntry> replacements {entry};
    QList<DeleteEntry> deletions {{"b.txt", false}};
    FileReplaceListTaskSpecification replace(&replacements, &config, nullptr, 0.4);
    FileDeleteListTaskSpecification remove(&deletions, &config, nullptr, 0.05);
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        const QByteArray text = "version " + QByteArray::number(run);
        // SHA-512 of "version 1" and "version 2" (sha512sum): the replacement checks a whole file by its digest.
        replacements[0].finalSha512 =
            run == 1 ? "c454617a1012da19c3d9ac94d14904c6918a9ac6ebedb4e807befe43d1ca9aa4927b577cc149c734e0afa2a744e6ecd741f"
                       "37b084760e8956452a95b76c2c807"
                     : "c5d9f0753c91b7f82c3f71fea5f97851e8ce636925a1a14fafa27939aaa3c1f551c313290f8b2c08d73f723f01804e5b66a"
                       "d247bb8eddf6e7d8ddbedbf6ac2ad";
        ASSERT_TRUE(Sandbox::writeFile(box.path("inst/a.txt"), "installed"));
        ASSERT_TRUE(Sandbox::writeFile(box.path("tmp/a.txt"), text));
        ASSERT_TRUE(Sandbox::writeFile(box.path("inst/b.txt"), "listed for deletion"));
        for (ComposedTaskSpecification *step : {static_cast<ComposedTaskSpecification *>(&replace),
                                                static_cast<ComposedTaskSpecification *>(&remove)}) {
            step->execute();
            ASSERT_TRUE(waitForTaskEnd(step));
            EXPECT_EQ(step->state(), TASK_FINISHED);
            step->reset();
            EXPECT_EQ(step->state(), TASK_IDLE);
        }
        EXPECT_EQ(Sandbox::readFile(box.path("inst/a.txt")), text);
        EXPECT_FALSE(QFileInfo::exists(box.path("inst/b.txt")));
    }
}

TEST(ComposedTaskSpecification, ClearTasksReleasesAndDisconnectsSubTasks)
{
    ScriptedComposedTask composed(1);
    auto *kept = new ScriptedTask(Outcome::Stay); // no QObject parent: only clearTasks releases it
    composed.addTask(kept);
    QPointer<ScriptedTask> watch(kept);
    kept->execute();
    QSignalSpy progress(&composed, &TaskSpecification::updateProgress);

    composed.clearTasks();
    EXPECT_TRUE(composed.allTasks().isEmpty());
    ASSERT_FALSE(watch.isNull()); // released later, not at once
    kept->setProgress(0.5);
    emit composed.otherTaskCancelled(nullptr);
    EXPECT_EQ(progress.count(), 0);
    EXPECT_TRUE(kept->siblingNotices.isEmpty());
    processDeferredDeletes();
    EXPECT_TRUE(watch.isNull());
}

// The owner releases a task from inside the signals that end it; nothing may be deleted under a running emission.
TEST(ComposedTaskSpecification, OwnerMayReleaseTasksInsideTheirEndSignals)
{
    auto *root = new ScriptedComposedTask(3);
    const QList<ScriptedTask *> tasks = addScripted(*root, {Outcome::Stay, Outcome::Stay, Outcome::Finish});
    tasks[0]->endOnCancel = true;
    tasks[1]->endOnCancel = true;
    QList<QPointer<ScriptedTask>> watches;
    for (ScriptedTask *t : tasks)
        watches << QPointer<ScriptedTask>(t);
    QPointer<ScriptedComposedTask> rootWatch(root);
    QObject::connect(root, &TaskSpecification::canceled, [root] {
        root->clearTasks();
        root->deleteLater();
    });
    root->execute();
    QCoreApplication::processEvents();
    ASSERT_EQ(tasks[2]->state(), TASK_FINISHED);

    // The second sub-task's end ends the root inside cancel()'s loop, which then goes on to the third.
    root->cancel();
    ASSERT_FALSE(rootWatch.isNull());
    processDeferredDeletes();
    EXPECT_TRUE(rootWatch.isNull());
    for (const QPointer<ScriptedTask> &w : watches)
        EXPECT_TRUE(w.isNull());
}

TEST(ComposedTaskSpecification, MetaObjectAddsStartSignalAndSlotsInOrder)
{
    const QMetaObject &mo = ComposedTaskSpecification::staticMetaObject;
    EXPECT_STREQ(mo.className(), "ComposedTaskSpecification");
    const QStringList expected = {"startNextTask()", "onStartNextTask()", "onUpdateProgress(double)",
                                  "onSubTaskFinished(TaskSpecification*)", "onSubTaskCanceled(TaskSpecification*)"};
    EXPECT_EQ(ownMethodSignatures(mo), expected);
}
