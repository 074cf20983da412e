#pragma once

#include "composedtaskspecification.h"
#include "updatedata.h"

#include <QString>

class Configuration;

// Produces one packed or patched file of the new updater in the temporary directory. The result is written
// under a hidden name beside its target, checked against the entry's final SHA-512 (or, when the plan gives
// none, against the target's ".sig"), and only then renamed to the target: the target name never holds
// bytes that failed the check or were only half written, since the new updater runs from these files.
// Nothing is written into the installation directory and nothing is recorded for rollback.
class UpdateSelfFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // config is not owned.
    UpdateSelfFileTaskSpecification(const FileReplaceEntry &entry, Configuration *config, QObject *parent,
                                    qreal weight);
    // Removes a result that never reached its target.
    ~UpdateSelfFileTaskSpecification() override;

    void execute() override;
    void reset() override;

    const FileReplaceEntry &entry() const { return m_entry; }
    // The downloaded packed file, the file in the new updater's tree, the installed file a patch applies
    // to, the copy of that file the patch reads, and the patch itself.
    QString sourcePath() const;
    QString targetPath() const;
    QString basePath() const;
    QString oldCopyPath() const;
    QString patchPath() const;
    // Where the result is written and checked before it is renamed to targetPath(); empty when not running.
    const QString &temporaryPath() const { return m_temporary; }

protected:
    // Checked result: renamed into place. Anything else: the temporary result is removed.
    void subtasksDone() override;

private:
    void makeOldCopy();
    void removeTemporary();

    FileReplaceEntry m_entry;
    Configuration *m_config;
    QString m_temporary;
};
