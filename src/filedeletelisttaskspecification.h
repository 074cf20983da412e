#pragma once

#include "composedtaskspecification.h"
#include "filedeletetaskspecification.h"
#include "rollback.h"
#include "updatedata.h"

#include <QList>

class Configuration;

// The deletion step of the client update: the plan's paths under the installation directory are deleted
// one after the other, in list order. A deletion is staged: the path is moved to a hidden name beside
// itself, recorded in the install journal and in the step's rollback list. When every deletion succeeded
// the journal is committed, which removes the staged paths and the replacement's old files; when one fails
// (the first stops the list), the deletions and the transaction it was given (the replacement's records)
// are undone, so the installation is exactly as it was before the replacement.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // deletions is the plan's list, read when the step runs; neither pointer is owned.
    FileDeleteListTaskSpecification(QList<DeleteEntry> *deletions, Configuration *config, QObject *parent,
                                    qreal weight);

    void execute() override;
    // Releases the sub-tasks and undoes the staged deletions that the list still holds.
    void reset() override;

    // One deletion task per entry, each weighing 1/n, then starts them.
    void buildTasks();

    // The replacement's records, committed or undone with the deletions; not owned, may be null.
    void setTransaction(RollbackDataList *transaction) { m_transaction = transaction; }
    const RollbackDataList &rollbackList() const { return m_rollbackList; }

protected:
    void subtasksDone() override;

private:
    QList<DeleteEntry> *m_deletions;
    Configuration *m_config;
    RollbackDataList m_rollbackList;
    RollbackDataList *m_transaction = nullptr;
};

// One deletion of the list, staged (see above) into records. A path that was there when the list started and
// is gone by its turn has been removed by an earlier deletion of the list (a file inside a directory deleted
// before it): it counts as deleted. A path that leads through a symbolic link below the installation
// directory is refused, since deleting it would delete what the link points to. A directory that is not to
// be deleted recursively must be empty.
class FileDeleteListEntryTaskSpecification : public FileDeleteTaskSpecification
{
    Q_OBJECT
public:
    // relativePath is the entry's path below installDir; path is the two joined. journalDir holds the install
    // journal; records (not owned) receives the staging record.
    FileDeleteListEntryTaskSpecification(const QString &installDir, const QString &relativePath, bool recursive,
                                         const QString &journalDir, RollbackDataList *records, QObject *parent,
                                         qreal weight);

protected:
    bool doOp() override;

private:
    bool refuse();
    // dir, or its outermost parent below the installation directory that holds nothing but dir's line
    // of ancestors (and paths this list has staged already).
    QString outermostEmptied(const QString &dir) const;

    QString m_installDir;
    QString m_relativePath;
    QString m_journalDir;
    RollbackDataList *m_records;
    bool m_existedAtStart;
};
