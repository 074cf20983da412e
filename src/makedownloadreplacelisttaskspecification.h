#pragma once

#include "asynctaskspecification.h"
#include "updatedata.h"

#include <QSharedPointer>
#include <QString>

class Configuration;
class QSettings;

// Planning on a pool thread: reads the verified product ini and the installed files and fills a plan of
// downloads, replacements, deletions and install commands. In step one it also copies the updater files
// that are already current into the new updater's tree in the temporary directory.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT
public:
    // Neither is owned; plan is cleared and filled by run().
    MakeDownloadReplaceListFunc(Configuration *config, QSharedPointer<UpdateData> plan);

    // True when the plan is complete. Reports through message() and progress() only.
    bool run() override;

    // The product ini of the step, under the temporary directory.
    static QString productIniPath(const Configuration &config);
    // 1 win32, 2 win64, 3 linux32, 4 linux64, 5 mac (any case), 0 for anything else.
    static int osCodeFromName(const QString &name);
    // False for a path that could leave the directory it is taken relative to: an absolute path, one with a
    // ".." component, or one that names the directory itself (empty, or only "." components).
    static bool isSafeRelativePath(const QString &path);

private:
    Configuration *m_config;
    QSharedPointer<UpdateData> m_plan;
};

// The number of keys summed over all sections of an open product ini.
int countProductIniKeys(QSettings &ini);

// The planning step of the main task. The work object fills a record of the task's own; only a complete
// plan is copied into the main task's record, so a failed run leaves that untouched.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // Neither pointer is owned.
    MakeDownloadReplaceListTaskSpecification(Configuration *config, UpdateData *updateData, QObject *parent,
                                             qreal weight);

protected:
    ASyncFunc *createFunc() override;
    void runDone(bool ok) override;

private:
    Configuration *m_config;
    UpdateData *m_updateData;
    // Shared with the work object, so a task deleted while its work still runs leaves it a live record.
    QSharedPointer<UpdateData> m_plan;
};
