#pragma once

#include "fastfileoptaskspecification.h"

// Creates a directory and every missing parent, outermost first, recording each one it made.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    DirCreateTaskSpecification(const QString &path, RollbackDataList *rollback, QObject *parent, qreal weight);

protected:
    bool doOp() override;

private:
    // Makes dir after its missing parents. The directories made before a failure stay recorded, so
    // the owner's undo removes them.
    bool createDir(const QString &dir);
};
