#include "updateselfunziptaskspecification.h"

#include "configuration.h"
#include "fastfilecopy.h"
#include "updateinidata.h"
#include "updateselffiletaskspecification.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const char *boolText(bool value)
{
    return value ? "true" : "false";
}

} // namespace

UpdateSelfUnzipTaskSpecification::UpdateSelfUnzipTaskSpecification(QList<FileReplaceEntry> *replacements,
                                                                   Configuration *config, QObject *parent, qreal weight)
    : ComposedTaskSpecification(2, weight, parent)
    , m_replacements(replacements)
    , m_config(config)
{
}

void UpdateSelfUnzipTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void UpdateSelfUnzipTaskSpecification::makeSubtasksAndStart()
{
    // Whole files are already in place under the temporary directory.
    QList<FileReplaceEntry> produced;
    for (const FileReplaceEntry &entry : qAsConst(*m_replacements)) {
        if (entry.isPacked())
            produced.append(entry);
    }
    // The files share the step's weight, so its progress ends at its weight however many there are.
    for (const FileReplaceEntry &entry : qAsConst(produced))
        addTask(new UpdateSelfFileTaskSpecification(entry, m_config, this, 1.0 / produced.size()));
    setState(TASK_RUNNING);
    startTasks();
}

void UpdateSelfUnzipTaskSpecification::subtasksDone()
{
    const QString tempDir = m_config->m_tempDir;
    const QString updater = tempDir + "/update";
    makeUpdaterExecutable(updater);

    if (!UpdateIniData::modifyTempIni(tempDir)) {
        qDebug() << "Failed to write temp update.ini";
        emit error(QStringLiteral("Failed to write temp update.ini. The updater does not seem to have the required "
                                  "write permissions."));
        // Cancelled, not in error: the run ends because of the write, not because the user aborted it.
        if (computeState() == TASK_FINISHED)
            setCanceled();
        else
            ComposedTaskSpecification::subtasksDone();
        return;
    }

    copyTranslations();

    const QFileInfo info(updater);
    if (computeState() == TASK_FINISHED && (info.isSymLink() || !info.isFile())) {
        emit message(QStringLiteral("Could not find the new updater %1").arg(updater));
        setCanceled();
        return;
    }
    ComposedTaskSpecification::subtasksDone();
}

void UpdateSelfUnzipTaskSpecification::makeUpdaterExecutable(const QString &updater)
{
    const QFileInfo info(updater);
    qDebug() << "chmod +x" << updater << boolText(info.exists());
    // Not through a link: only the file that will be started, which the outcome then requires.
    if (info.isSymLink() || !info.isFile())
        return;
    // Read and execute for everyone, write for the owner only: a program that every local user could write
    // to could be replaced under the user who runs it.
    QFile::setPermissions(updater,
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser |
                              QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

void UpdateSelfUnzipTaskSpecification::copyTranslations()
{
    const QDir source(Configuration::applicationDir() + "/translations");
    const QString targetDir = m_config->m_tempDir + "/translations";
    const QStringList names = source.entryList({"update_*.qm"}, QDir::Files, QDir::NoSort);
    if (!QFileInfo::exists(targetDir))
        QDir().mkdir(targetDir);
    for (const QString &name : names) {
        const QString from = source.path() + "/" + name;
        const QString to = targetDir + "/" + name;
        qDebug() << "Copying qm file" << from << to;
        // The new updater's own translation, when its package has one, stays.
        if (!QFileInfo::exists(to))
            FastFileCopy::copyFile(from, to);
    }
}

void UpdateSelfUnzipTaskSpecification::reset()
{
    clearTasks();
    // The composed reset also clears the end-of-run flags, so execute() can run again.
    ComposedTaskSpecification::reset();
}
