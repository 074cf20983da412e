#include "maintaskspecification.h"

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "prepostinstalltaskspecification.h"
#include "scriptedmaintask.h"
#include "support/sandbox.h"
#include "updateselfunziptaskspecification.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

using Stage = MainTaskSpecification::Stage;

const char *stageName(Stage stage)
{
    switch (stage) {
    case Stage::ProductIni:
        return "product ini";
    case Stage::Planning:
        return "planning";
    case Stage::Downloads:
        return "downloads";
    case Stage::PreInstall:
        return "pre-install";
    case Stage::Replacement:
        return "replacement";
    case Stage::Deletion:
        return "deletion";
    case Stage::SelfUpdate:
        return "self-update";
    case Stage::PostInstall:
        return "post-install";
    }
    return "?";
}

struct StepCase
{
    const char *name;
    int clientUpdate;
    std::vector<std::pair<Stage, double>> stages;
    double peakProgress; // the sum of the stage weights
    QString startMessage;
};

const StepCase kSteps[] = {
    {"step one",
     0,
     {{Stage::ProductIni, 0.1},
      {Stage::Planning, 0.05},
      {Stage::Downloads, 0.4},
      {Stage::PreInstall, 0.1},
      {Stage::SelfUpdate, 0.4},
      {Stage::PostInstall, 0.1}},
     1.15,
     "Starting update process for updater"},
    {"step two",
     1,
     {{Stage::ProductIni, 0.1},
      {Stage::Planning, 0.05},
      {Stage::Downloads, 0.4},
      {Stage::PreInstall, 0.1},
      {Stage::Replacement, 0.4},
      {Stage::Deletion, 0.05},
      {Stage::PostInstall, 0.1}},
     1.2,
     "Starting update process for client"},
};

} // namespace

TEST(MainTaskSpecification, RunsEachStepsStagesInOrderUpToItsFinalProgress)
{
    for (const StepCase &c : kSteps) {
        SCOPED_TRACE(c.name);
        Configuration config;
        config.m_clientUpdate = c.clientUpdate;

        const auto pipeline = MainTaskSpecification::pipeline(c.clientUpdate);
        ASSERT_EQ(pipeline.size(), int(c.stages.size()));
        for (int i = 0; i < pipeline.size(); ++i) {
            SCOPED_TRACE(stageName(c.stages[i].first));
            EXPECT_EQ(pipeline[i].stage, c.stages[i].first);
            EXPECT_DOUBLE_EQ(pipeline[i].weight, c.stages[i].second);
        }

        ScriptedMainTask task(nullptr, &config, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        task.execute();
        ASSERT_TRUE(finished.count() == 1 || finished.wait(5000));

        EXPECT_EQ(canceled.count(), 0);
        EXPECT_EQ(task.state(), TASK_FINISHED);
        // The stages' weights add up to more than the main task's own weight: the relayed progress climbs
        // to their sum, and the finish then reports the weight itself.
        ASSERT_GE(progress.count(), 2);
        EXPECT_NEAR(progress.at(progress.count() - 2).first().toDouble(), c.peakProgress, 1e-9);
        EXPECT_EQ(progress.last().first().toDouble(), 1.0);
        ASSERT_GE(messages.count(), 1);
        EXPECT_EQ(messages.first().first().toString(), c.startMessage);
        ASSERT_EQ(task.created.size(), int(c.stages.size()));
        for (int i = 0; i < task.created.size(); ++i) {
            SCOPED_TRACE(stageName(c.stages[i].first));
            EXPECT_EQ(task.created[i].stage, c.stages[i].first);
            EXPECT_DOUBLE_EQ(task.created[i].weight, c.stages[i].second);
            EXPECT_EQ(task.created[i].task->parent(), &task);
            EXPECT_EQ(task.created[i].task->executeCount, 1);
        }
    }
}

TEST(MainTaskSpecification, AFailingStageStopsThePipeline)
{
    struct Case
    {
        const char *name;
        Stage failing;
        ScriptedTask::Outcome outcome;
        int endState;
    };
    const Case cases[] = {
        {"planning ends in error", Stage::Planning, ScriptedTask::Fail, TASK_ERROR},
        {"product ini cancelled", Stage::ProductIni, ScriptedTask::Cancel, TASK_CANCELED},
        {"replacement ends in error", Stage::Replacement, ScriptedTask::Fail, TASK_ERROR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Configuration config;
        config.m_clientUpdate = 1;
        ScriptedMainTask task(nullptr, &config, nullptr, 1.0);
        task.outcomes[c.failing] = c.outcome;
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        ASSERT_TRUE(canceled.count() == 1 || canceled.wait(5000));

        EXPECT_EQ(finished.count(), 0);
        EXPECT_EQ(task.state(), c.endState);
        bool afterFailure = false;
        for (const auto &created : task.created) {
            SCOPED_TRACE(stageName(created.stage));
            EXPECT_EQ(created.task->executeCount, afterFailure ? 0 : 1);
            afterFailure = afterFailure || created.stage == c.failing;
        }
    }
}

TEST(MainTaskSpecification, ResetEmptiesThePlanAndTheNextRunBuildsAFreshPipeline)
{
    Configuration config;
    config.m_clientUpdate = 0;
    ScriptedMainTask task(nullptr, &config, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    ASSERT_TRUE(finished.count() == 1 || finished.wait(5000));
    task.updateData.downloads.append({"bin", "update", "00", 1});
    task.updateData.postInstall.append({"post.sh", {}, true});

    task.reset();
    EXPECT_TRUE(task.allTasks().isEmpty());
    EXPECT_EQ(task.state(), TASK_IDLE);
    EXPECT_EQ(task.progress(), 0.0);
    EXPECT_TRUE(task.updateData.downloads.isEmpty());
    EXPECT_TRUE(task.updateData.postInstall.isEmpty());

    task.created.clear();
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.execute();
    ASSERT_TRUE(finished.count() == 2 || finished.wait(5000));
    EXPECT_EQ(task.created.size(), 6);
    EXPECT_EQ(task.allTasks().size(), 6);
    ASSERT_GE(progress.count(), 2);
    EXPECT_NEAR(progress.at(progress.count() - 2).first().toDouble(), 1.15, 1e-9);
}

TEST(MainTaskSpecification, StepTwoReplacesAndDeletesThroughTheFileListTasks)
{
    Configuration config;
    config.m_clientUpdate = 1;
    MainTaskSpecification task(nullptr, &config, nullptr, 1.0);
    task.execute(); // the stages start from the event loop, so the pipeline can be looked at first

    const FileReplaceListTaskSpecification *replace = nullptr;
    const FileDeleteListTaskSpecification *deletions = nullptr;
    int replaceIndex = -1;
    int deleteIndex = -1;
    for (int i = 0; i < task.allTasks().size(); ++i) {
        TaskSpecification *t = task.allTasks()[i];
        EXPECT_EQ(t->parent(), &task);
        if (auto *r = qobject_cast<FileReplaceListTaskSpecification *>(t)) {
            replace = r;
            replaceIndex = i;
        } else if (auto *d = qobject_cast<FileDeleteListTaskSpecification *>(t)) {
            deletions = d;
            deleteIndex = i;
        }
    }
    ASSERT_NE(replace, nullptr);
    ASSERT_NE(deletions, nullptr);
    EXPECT_EQ(deleteIndex, replaceIndex + 1);
    EXPECT_DOUBLE_EQ(replace->weight(), 0.4);
    EXPECT_DOUBLE_EQ(deletions->weight(), 0.05);

    Configuration stepOne;
    stepOne.m_clientUpdate = 0;
    MainTaskSpecification selfUpdate(nullptr, &stepOne, nullptr, 1.0);
    selfUpdate.execute();
    // Step one assembles the new updater instead, right after the downloads (and their pre-install commands).
    int downloadsIndex = -1;
    int assembleIndex = -1;
    for (int i = 0; i < selfUpdate.allTasks().size(); ++i) {
        TaskSpecification *t = selfUpdate.allTasks()[i];
        EXPECT_EQ(qobject_cast<FileReplaceListTaskSpecification *>(t), nullptr);
        EXPECT_EQ(qobject_cast<FileDeleteListTaskSpecification *>(t), nullptr);
        if (qobject_cast<DownloadFileListTaskSpecification *>(t))
            downloadsIndex = i;
        if (qobject_cast<UpdateSelfUnzipTaskSpecification *>(t)) {
            EXPECT_EQ(assembleIndex, -1);
            assembleIndex = i;
            EXPECT_DOUBLE_EQ(t->weight(), 0.4);
            EXPECT_EQ(t->parent(), &selfUpdate);
        }
    }
    ASSERT_NE(downloadsIndex, -1);
    EXPECT_GT(assembleIndex, downloadsIndex);
}

TEST(MainTaskSpecification, BothStepsRunThePreAndPostInstallCommandsAroundTheirFileWork)
{
    for (int step : {0, 1}) {
        SCOPED_TRACE(step);
        Configuration config;
        config.m_clientUpdate = step;
        MainTaskSpecification task(nullptr, &config, nullptr, 1.0);
        task.execute(); // the stages start from the event loop, so the pipeline can be looked at first

        const QList<TaskSpecification *> &stages = task.allTasks();
        ASSERT_GE(stages.size(), 5);
        auto *pre = qobject_cast<PrePostInstallListTaskSpecification *>(stages[3]);
        auto *post = qobject_cast<PrePostInstallListTaskSpecification *>(stages.last());
        ASSERT_NE(pre, nullptr);
        ASSERT_NE(post, nullptr);
        EXPECT_DOUBLE_EQ(pre->weight(), 0.1);
        EXPECT_DOUBLE_EQ(post->weight(), 0.1);
        int lists = 0;
        for (TaskSpecification *t : stages)
            lists += qobject_cast<PrePostInstallListTaskSpecification *>(t) != nullptr;
        EXPECT_EQ(lists, 2);
    }
}

TEST(MainTaskSpecification, AFailingRequiredPreInstallCommandCancelsTheUpdateBeforeTheReplacement)
{
    for (bool required : {true, false}) {
        SCOPED_TRACE(required ? "required" : "optional");
        Sandbox box;
        Configuration config;
        config.m_clientUpdate = 1;
        config.m_tempDir = box.path("session");
        ASSERT_TRUE(Sandbox::writeFile(config.m_tempDir + "/check.sh", "#!/bin/sh\nexit 1\n"));
        ScriptedMainTask task(nullptr, &config, nullptr, 1.0);
        task.realStages = {Stage::PreInstall};
        // What planning would have put into the plan.
        task.updateData.preInstall.append({"check.sh", {}, required});
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        ASSERT_TRUE(waitForTaskEnd(&task, 30000));

        EXPECT_EQ(task.state(), required ? TASK_CANCELED : TASK_FINISHED);
        EXPECT_EQ(task.stage(Stage::Replacement)->executeCount, required ? 0 : 1);
        QStringList texts;
        for (const QList<QVariant> &m : messages)
            texts << m.first().toString();
        EXPECT_TRUE(texts.contains("Failed to complete check.sh, exit code: 1")) << texts.join(" | ").toStdString();
    }
}
