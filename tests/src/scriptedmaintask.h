#pragma once

#include "maintaskspecification.h"
#include "support/scriptedtasks.h"

#include <QList>
#include <QMap>

#include <functional>

// A main task whose stages are scripted tasks: each finishes at once unless the test chose otherwise. The
// stages in realStages are the program's own tasks instead.
class ScriptedMainTask : public MainTaskSpecification
{
public:
    using MainTaskSpecification::MainTaskSpecification;

    struct Created
    {
        Stage stage;
        qreal weight;
        ScriptedTask *task;
    };

    QMap<Stage, ScriptedTask::Outcome> outcomes;
    QList<Stage> realStages;
    std::function<void(Stage, ScriptedTask *)> prepare = [](Stage, ScriptedTask *) {};
    QList<Created> created;

    ScriptedTask *stage(Stage stage) const
    {
        for (const Created &c : created) {
            if (c.stage == stage)
                return c.task;
        }
        return nullptr;
    }

protected:
    TaskSpecification *createTask(Stage stage, qreal weight) override
    {
        if (realStages.contains(stage))
            return MainTaskSpecification::createTask(stage, weight);
        auto *task = new ScriptedTask(outcomes.value(stage, ScriptedTask::Finish), weight, this);
        created.append({stage, weight, task});
        prepare(stage, task);
        return task;
    }
};
