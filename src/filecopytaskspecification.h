#pragma once

#include "slowfileopspecification.h"

// Copies source to target on the thread pool. An existing target is never overwritten: the copy
// then fails.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileCopyTaskSpecification(RollbackDataList *rollback, const QString &source, const QString &target, QObject *parent,
                              qreal weight);

protected:
    ASyncFunc *createFunc() override;
};

class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileCopyFunc(const QString &source, const QString &target);

    bool run() override;
};
