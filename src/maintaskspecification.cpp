#include "maintaskspecification.h"

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "installjournal.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "prepostinstalltaskspecification.h"
#include "updateselfunziptaskspecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager *networkManager, Configuration *config,
                                             QObject *parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , networkManager(networkManager)
    , config(config)
{
}

QList<MainTaskSpecification::StageWeight> MainTaskSpecification::pipeline(int clientUpdate)
{
    if (clientUpdate == 1) {
        return {{Stage::ProductIni, 0.1},  {Stage::Planning, 0.05}, {Stage::Downloads, 0.4},  {Stage::PreInstall, 0.1},
                {Stage::Replacement, 0.4}, {Stage::Deletion, 0.05}, {Stage::PostInstall, 0.1}};
    }
    return {{Stage::ProductIni, 0.1}, {Stage::Planning, 0.05},  {Stage::Downloads, 0.4},
            {Stage::PreInstall, 0.1}, {Stage::SelfUpdate, 0.4}, {Stage::PostInstall, 0.1}};
}

void MainTaskSpecification::execute()
{
    emit message((config->m_clientUpdate == 0 ? tr("Starting update process for updater")
                                             : tr("Starting update process for client")));
    makeSubtasksAndStart();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    // Every stage is created and connected before the next, while the plan is still empty: the list stages
    // keep pointers into it and read them only when they run, after planning has filled it.
    const QList<StageWeight> stages = pipeline(config->m_clientUpdate);
    for (const StageWeight &s : stages) {
        if (TaskSpecification *task = createTask(s.stage, s.weight))
            addTask(task);
    }
    startTasks();
}

TaskSpecification *MainTaskSpecification::createTask(Stage stage, qreal weight)
{
    // Each stage returns its task here, with this task as parent, the given weight and its part of updateData,
    // for example: case Stage::Downloads: return new DownloadFileListTaskSpecification(&updateData.downloads,
    // networkManager, config, this, weight); a stage that only breaks is left out of the pipeline.
    switch (stage) {
    case Stage::ProductIni:
        return new IniDownloadTaskSpecification(networkManager, config, this, weight);
    case Stage::Planning:
        return new MakeDownloadReplaceListTaskSpecification(config, &updateData, this, weight);
    case Stage::Downloads:
        return new DownloadFileListTaskSpecification(&updateData.downloads, networkManager, config, this, weight);
    case Stage::Replacement: {
        auto *task = new FileReplaceListTaskSpecification(&updateData.replacements, config, this, weight);
        task->setTransaction(&installRecords);
        return task;
    }
    case Stage::Deletion: {
        auto *task = new FileDeleteListTaskSpecification(&updateData.deletions, config, this, weight);
        task->setTransaction(&installRecords);
        return task;
    }
    case Stage::SelfUpdate:
        return new UpdateSelfUnzipTaskSpecification(&updateData.replacements, config, this, weight);
    case Stage::PreInstall:
        return new PrePostInstallListTaskSpecification(&updateData.preInstall, config, this, weight);
    case Stage::PostInstall:
        return new PrePostInstallListTaskSpecification(&updateData.postInstall, config, this, weight);
    }
    return nullptr;
}

void MainTaskSpecification::subtasksDone()
{
    // A run that ends between the replacement and the deletion step (a cancel, say) leaves nothing of the
    // replacement either.
    if (computeState() != TASK_FINISHED && !installRecords.isEmpty()) {
        emit message(QStringLiteral("rolling back file updates"));
        installRecords.rollbackAll(this);
        InstallJournal::rollBack(config->m_tempDir, config->m_installDir);
    }
    ComposedTaskSpecification::subtasksDone();
}

void MainTaskSpecification::reset()
{
    clearTasks();
    updateData.clear();
    // With no sub-tasks left this only clears the bookkeeping flags and then resets the task itself;
    // without that a second run could never end.
    ComposedTaskSpecification::reset();
}
