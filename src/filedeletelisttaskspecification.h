#pragma once

#include "composedtaskspecification.h"
#include "filedeletetaskspecification.h"
#include "updatedata.h"

#include <QList>

class Configuration;

// The deletion step of the client update: the plan's paths under the installation directory are deleted
// one after the other, in list order. Deletions are not recorded and cannot be undone; the first that
// fails stops the list.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // deletions is the plan's list, read when the step runs; neither pointer is owned.
    FileDeleteListTaskSpecification(QList<DeleteEntry> *deletions, Configuration *config, QObject *parent,
                                    qreal weight);

    void execute() override;
    void reset() override;

    // One deletion task per entry, each weighing 1/n, then starts them.
    void buildTasks();

private:
    QList<DeleteEntry> *m_deletions;
    Configuration *m_config;
};

// One deletion of the list. A path that was there when the list started and is gone by its turn has been
// removed by an earlier deletion of the list (a file inside a directory deleted before it): it counts as
// deleted. A path that leads through a symbolic link below the installation directory is refused, since
// deleting it would delete what the link points to.
class FileDeleteListEntryTaskSpecification : public FileDeleteTaskSpecification
{
    Q_OBJECT
public:
    // relativePath is the entry's path below installDir; path is the two joined.
    FileDeleteListEntryTaskSpecification(const QString &installDir, const QString &relativePath, bool recursive,
                                         QObject *parent, qreal weight);

protected:
    bool doOp() override;

private:
    QString m_installDir;
    QString m_relativePath;
    bool m_existedAtStart;
};
