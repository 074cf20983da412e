#pragma once

#include "fastfileoptaskspecification.h"

// Deletes a file, an empty directory (only the directory itself, never its parents) or, when recursive, a
// whole directory tree. A symbolic link is removed itself, never what it points to. Nothing is recorded:
// a deletion cannot be undone.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteTaskSpecification(const QString &path, bool recursive, QObject *parent, qreal weight);

    bool recursive() const { return m_recursive; }

protected:
    bool doOp() override;

private:
    bool m_recursive;
};
