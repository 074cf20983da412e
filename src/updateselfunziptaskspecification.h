#pragma once

#include "composedtaskspecification.h"
#include "updatedata.h"

#include <QList>

class Configuration;

// Step one's in place of replacement and deletion: assembles the new updater in the session's temporary
// directory, where planning has already put its whole files. Each packed or patched file is produced there by
// its own UpdateSelfFileTaskSpecification, two at a time; then the directory is made ready for step two: the
// new "update" becomes executable, the directory gets its own "update.ini" (the session record step two
// continues, UpdateIniData::modifyTempIni) and the running updater's "update_*.qm" translations.
//
// The step finishes only when every file is in place, checked, the record is written and the new "update" is
// there to be started; anything else ends it cancelled (in error after a requested cancel), so the window
// never hands over to an updater that is missing or was not verified.
class UpdateSelfUnzipTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // replacements is the plan's list, read when the step runs; neither pointer is owned.
    UpdateSelfUnzipTaskSpecification(QList<FileReplaceEntry> *replacements, Configuration *config, QObject *parent,
                                     qreal weight);

    void execute() override;
    void reset() override;

protected:
    // The preparation of the directory, then the outcome.
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    void makeUpdaterExecutable(const QString &updater);
    void copyTranslations();

    QList<FileReplaceEntry> *m_replacements;
    Configuration *m_config;
};
