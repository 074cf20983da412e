#pragma once

#include "fastfileoptaskspecification.h"

#include <QString>

// Puts a finished, checked file into the installation in one step (see fileinstall.h): the new bytes at
// newFile, a hidden name beside target, are exchanged with the file at target, or renamed to target when
// there is none. Where the file system cannot exchange, the old file is first renamed aside and the new
// one renamed in, and the log says so. The new file gets its mode before it goes into place: 0755 when
// executable is set, else the mode of the file it replaces.
//
// Each change is written to the install journal in journalDir (when not empty) before it is made, and
// recorded in the rollback list after it was made; undoing puts the old file back under target and leaves
// the new one under newFile. The old bytes stay under a hidden name until the journal is committed.
class FileInstallTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FileInstallTaskSpecification(const QString &newFile, const QString &target, bool executable,
                                 const QString &journalDir, RollbackDataList *rollback, QObject *parent, qreal weight);

    const QString &newFile() const { return m_newFile; }

protected:
    bool doOp() override;

private:
    bool fail();
    // Journals record, then makes the change; true when both worked, the record then added to the list.
    bool recordAndDo(const RollbackData &record, bool (*change)(const QString &, const QString &));

    QString m_newFile;
    bool m_executable;
    QString m_journalDir;
};
