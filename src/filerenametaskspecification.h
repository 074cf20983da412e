#pragma once

#include "fastfileoptaskspecification.h"

// Moves source to target (path() is the target), never over an existing file. A missing directory
// for the target is made first (one level only).
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileRenameTaskSpecification(const QString &source, const QString &target, RollbackDataList *rollback,
                                QObject *parent, qreal weight);

    const QString &source() const { return m_source; }

protected:
    // Records the directory it made, if any, and then the rename, so an undo moves the file back
    // before it removes the directory.
    bool doOp() override;

private:
    QString m_source;
};
