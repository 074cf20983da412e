#pragma once

#include "composedtaskspecification.h"
#include "rollback.h"
#include "updatedata.h"

#include <QList>

class Configuration;
class QNetworkAccessManager;

// The root task of one update run: fetch and verify the product ini, plan, download, run the pre-install
// commands, replace and delete (step two) or unpack the new updater (step one), run the post-install
// commands. The sub-tasks run strictly one after the other and share the run's plan, `updateData`.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    enum class Stage { ProductIni, Planning, Downloads, PreInstall, Replacement, Deletion, SelfUpdate, PostInstall };
    struct StageWeight
    {
        Stage stage;
        qreal weight;
    };

    // Neither pointer is owned.
    MainTaskSpecification(QNetworkAccessManager *networkManager, Configuration *config, QObject *parent, qreal weight);

    void execute() override;
    // Releases the sub-tasks and empties the plan; the next execute() builds a fresh pipeline.
    void reset() override;

    // The stages of a step in run order, with their weights: step two when clientUpdate is 1, else step one.
    // The weights add up to 1.2 (step two) or 1.15 (step one), so a finished run's progress ends there.
    static QList<StageWeight> pipeline(int clientUpdate);

    QNetworkAccessManager *networkManager;
    Configuration *config;
    UpdateData updateData; // filled by the planning stage; the later stages hold pointers into it
    // Step two's changes of the installation between the end of the replacement and the deletion step's
    // commit: the two steps are one transaction.
    RollbackDataList installRecords;

protected:
    void subtasksDone() override;
    // The task that runs `stage`, with this task as parent, or null when this build has none for it.
    virtual TaskSpecification *createTask(Stage stage, qreal weight);

private:
    void makeSubtasksAndStart();
};
