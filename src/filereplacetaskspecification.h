#pragma once

#include "composedtaskspecification.h"
#include "rollback.h"
#include "updatedata.h"

#include <QString>

class Configuration;

// Brings one installed file up to date, its sub-tasks one after the other: a whole file is copied from the
// temporary directory, a packed one unpacked, a patched one made from a copy of the installed file and its
// patch, each to a hidden name beside the installed file; that result
// is checked against its final SHA-512 (a whole file known only by its signature: the download, by its
// ".sig") and only then put in place by FileInstallTaskSpecification, which exchanges it with the old file.
// The old bytes stay under the hidden name until the install journal is committed, so a later failure can
// still bring them back. The new file takes over the mode of the file it replaced, or 0755 when its name
// calls for it, before it goes into place.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // parentRollbackList receives this file's records once it has finished; neither pointer is owned.
    FileReplaceTaskSpecification(const FileReplaceEntry &entry, RollbackDataList *parentRollbackList,
                                 Configuration *config, QObject *parent, qreal weight);
    // Drops the own records without undoing them.
    ~FileReplaceTaskSpecification() override;

    void execute() override;
    // Releases the sub-tasks and undoes whatever the own list still holds.
    void reset() override;

    // Gives path mode 0755 when its file name is one of specialFileNames or its complete suffix one of
    // specialFileSuffixes; any other file keeps its mode. The result is only logged.
    static void makeSingleFileExecutable(const QString &path);
    // Whether path's file name or complete suffix asks for mode 0755.
    static bool wantsExecutable(const QString &path);
    // The failure text of the entry's form (copy, unzip, unpack or patch).
    QString failureText() const;

    const FileReplaceEntry &entry() const { return m_entry; }
    const RollbackDataList &rollbackList() const { return m_rollbackList; }
    // The downloaded whole or packed file, the installed file, the patch, and the copy of the installed
    // file taken before patching.
    QString sourcePath() const;
    QString destinationPath() const;
    QString patchPath() const;
    QString oldCopyPath() const;
    // tmp + "/" + the installed relative path + ".sig": the signature of a result without a final SHA-512.
    QString signaturePath() const;
    // Where the new file is made; empty before execute().
    const QString &newFilePath() const { return m_newFile; }

protected:
    // Finished: hands the records to the list task, then the mode. Otherwise: undoes the own records.
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    static bool isLzmaContainer(const QString &path);
    void makeOldCopy();

    FileReplaceEntry m_entry;
    RollbackDataList *m_parentRollbackList;
    RollbackDataList m_rollbackList;
    Configuration *m_config;
    QString m_newFile; // the hidden name beside the installed file where the new file is made
};
