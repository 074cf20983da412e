#include "filedeletetaskspecification.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(const QString &path, bool recursive, QObject *parent,
                                                         qreal weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , m_recursive(recursive)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    // Without the clean-up a trailing "/" would make a link to a directory look like the directory.
    const QString cleaned = QDir::cleanPath(path());
    const QFileInfo info(cleaned);
    // A link to a directory is removed like a file: recursing into it would delete the files it
    // points to, which may lie anywhere outside the installation.
    const bool isDir = info.isDir() && !info.isSymLink();
    bool ok = false;
    if (isDir && m_recursive) {
        ok = QDir(cleaned).removeRecursively();
        qDebug() << "Recursively deleted directory" << path() << (ok ? "true" : "false");
        if (ok)
            emit message(tr("Recursively deleted directory '%1'").arg(path()));
    } else if (isDir) {
        // Only the directory itself: QDir::rmpath would go on removing every parent it empties, up to "/".
        ok = QDir().rmdir(cleaned);
        qDebug() << "Deleted directory" << path() << (ok ? "true" : "false");
        if (ok)
            emit message(tr("Deleted directory '%1'").arg(path()));
    } else {
        ok = QFile::remove(cleaned);
        qDebug() << "Deleted file" << path() << (ok ? "true" : "false");
        if (ok)
            emit message(tr("Deleted file '%1'").arg(path()));
    }
    if (!ok)
        emit message(tr("Could not delete '%1'").arg(path()));
    return ok;
}
