#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filecopytaskspecification.h"
#include "fileentry.h"
#include "filerenametaskspecification.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "globals.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

namespace {

const char *boolText(bool value)
{
    return value ? "true" : "false";
}

} // namespace

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const FileReplaceEntry &entry,
                                                           RollbackDataList *parentRollbackList, Configuration *config,
                                                           QObject *parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_entry(entry)
    , m_parentRollbackList(parentRollbackList)
    , m_config(config)
{
}

FileReplaceTaskSpecification::~FileReplaceTaskSpecification() = default;

QString FileReplaceTaskSpecification::sourcePath() const
{
    return m_config->m_tempDir + "/" + m_entry.name;
}

QString FileReplaceTaskSpecification::destinationPath() const
{
    return m_config->m_installDir + "/" + makeEntryPath(m_entry);
}

QString FileReplaceTaskSpecification::patchPath() const
{
    return m_config->m_tempDir + "/" + m_entry.patchName;
}

QString FileReplaceTaskSpecification::oldCopyPath() const
{
    return m_config->m_tempDir + "/" + makeEntryPath(m_entry) + "_old";
}

void FileReplaceTaskSpecification::execute()
{
    emit message(tr("add/replace %1").arg(m_entry.name));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString source = sourcePath();
    const QString destination = destinationPath();
    qDebug() << "FileReplaceTaskSpecification: spec:" << m_entry.name << " src:" << source << " dstFile:" << destination
             << " hasPatch:" << boolText(m_entry.hasPatch()) << " patchFile:" << m_entry.patchName;
    m_asidePath.clear();

    if (!m_entry.isPacked()) {
        // The download was checked when it arrived; a whole file that carries its SHA-512 is checked
        // again just before it goes into place, so nothing that changed in between is installed.
        const bool check = !m_entry.finalSha512.isEmpty();
        if (check)
            addTask(new CheckSignatureTaskSpecification(source, m_entry.finalSha512, true, this, 0.2));
        addMoveAsideTask();
        addTask(new FileCopyTaskSpecification(&m_rollbackList, source, destination, this, check ? 0.8 : 1.0));
    } else if (!m_entry.hasPatch()) {
        addMoveAsideTask();
        if (QFileInfo(source).suffix() == QLatin1String("_lzma2_"))
            addTask(new FileUnpackTaskSpecification_lzma2(&m_rollbackList, source, destination, this, 0.8));
        else
            addTask(new FileUnpackTaskSpecification_zip(&m_rollbackList, source, destination, this, 0.8));
        addTask(new CheckSignatureTaskSpecification(destination, m_entry.finalSha512, true, this, 0.2));
    } else {
        makeOldCopy();
        // The patch task goes here: the move aside, then the patch from oldCopyPath() and patchPath() to
        // the destination (0.8), then the same check as a packed file (0.2). Until this build has it, a
        // patched entry fails before anything in the installation has changed.
        emit message(tr("Could not patch '%1' to '%2'").arg(oldCopyPath(), destination));
        setState(TASK_RUNNING);
        setCanceled();
        return;
    }
    setState(TASK_RUNNING);
    startTasks();
}

void FileReplaceTaskSpecification::addMoveAsideTask()
{
    const QString destination = destinationPath();
    const QFileInfo installed(destination);
    // A directory in the file's place is not moved: writing the file then fails, and the step rolls back.
    if (!entryExists(installed) || (installed.isDir() && !installed.isSymLink()))
        return;
    m_asidePath = asidePathFor(destination);
    addTask(new FileRenameTaskSpecification(destination, m_asidePath, &m_rollbackList, this, 0.0));
}

QString FileReplaceTaskSpecification::asidePathFor(const QString &destination)
{
    const QFileInfo info(destination);
    // The name is cut so that the suffix cannot push a long file name past the file system's limit.
    const QString stem = info.path() + "/." + info.fileName().left(60) + ".replaced-";
    for (;;) {
        const QString candidate = stem + QString::number(QRandomGenerator::global()->generate64(), 36);
        if (!entryExists(QFileInfo(candidate)))
            return candidate;
    }
}

void FileReplaceTaskSpecification::makeOldCopy()
{
    const QString oldCopy = oldCopyPath();
    const QString destination = destinationPath();
    qDebug() << "HAS PATCH" << m_entry.patchName;
    // A copy left by an earlier run would block the copy, which never overwrites.
    qDebug() << "Remove" << oldCopy << boolText(QFile::remove(oldCopy));
    const QString oldDir = QFileInfo(oldCopy).absolutePath();
    const bool existed = QFileInfo::exists(oldDir);
    qDebug() << "tempOldAbsPath" << oldDir << boolText(existed);
    if (!existed)
        qDebug() << "Created" << oldDir << boolText(QDir().mkpath(oldDir));
    qDebug() << "Copy" << destination << "->" << oldCopy << boolText(QFile::copy(destination, oldCopy));
    emit message(tr("Patching %1").arg(makeEntryPath(m_entry)));
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (computeState() == TASK_FINISHED) {
        if (m_parentRollbackList)
            m_parentRollbackList->addList(m_rollbackList);
        const QString destination = destinationPath();
        // Writing in place would have kept the installed file's mode; the new file keeps it as well.
        if (!m_asidePath.isEmpty() && !QFileInfo(m_asidePath).isSymLink())
            QFile::setPermissions(destination, QFile::permissions(m_asidePath));
        makeSingleFileExecutable(destination);
    } else {
        m_rollbackList.rollbackAll(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString &path)
{
    const QFileInfo info(path);
    qDebug() << "Executable check" << path << info.fileName() << info.completeSuffix();
    if (!specialFileNames.contains(info.fileName()) && !specialFileSuffixes.contains(info.completeSuffix()))
        return;
    // Read and execute for everyone, write for the owner only: a program or library that every local
    // user could write to could be replaced under another user who runs it.
    QFile::setPermissions(path,
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser |
                              QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    qDebug() << "Set executable flag on" << path;
}

void FileReplaceTaskSpecification::reset()
{
    clearTasks();
    m_rollbackList.rollbackAll(this);
    ComposedTaskSpecification::reset();
}
