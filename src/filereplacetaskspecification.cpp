#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "fastfilecopy.h"
#include "filecopytaskspecification.h"
#include "fileentry.h"
#include "fileinstall.h"
#include "fileinstalltaskspecification.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "globals.h"
#include "installjournal.h"

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

QString FileReplaceTaskSpecification::signaturePath() const
{
    // Planning fetches it there when the line gives no final SHA-512; the result is checked under its hidden
    // name, but signed under its installed one.
    return m_config->m_tempDir + "/" + makeEntryPath(m_entry) + ".sig";
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

    // The new file is written and checked under a hidden name beside the installed one, and only then put
    // in its place; the journal knows the name before the file exists, so a killed run leaves nothing behind.
    m_newFile = FileInstall::temporaryPathBeside(destination, QStringLiteral(".new-"));
    if (!InstallJournal::record(m_config->m_tempDir, RollbackData(FILE_CREATE, m_newFile))) {
        emit message(failureText());
        setState(TASK_RUNNING);
        setCanceled();
        return;
    }
    const bool digest = !m_entry.finalSha512.isEmpty();
    if (!m_entry.isPacked()) {
        // Checked once more right before it goes into place, so nothing that changed since the download is
        // installed: the copy by its digest, or, for a file known only by its signature, the source.
        if (!digest)
            addTask(new CheckSignatureTaskSpecification(source, QString(), true, this, 0.2));
        addTask(new FileCopyTaskSpecification(&m_rollbackList, source, m_newFile, this, 0.7));
        if (digest)
            addTask(
                new CheckSignatureTaskSpecification(m_newFile, m_entry.finalSha512, true, this, 0.2, signaturePath()));
    } else if (m_entry.hasPatch()) {
        // The patch applies to a copy of the installed file, which stays untouched until the checked
        // result is put in its place. Like an unpack, it may not produce more than the listed size.
        makeOldCopy();
        auto *patch =
            new FileTaskSpecification_patch(&m_rollbackList, oldCopyPath(), patchPath(), m_newFile, this, 0.7);
        patch->setMaxOutputSize(m_entry.maxOutputSize());
        addTask(patch);
        addTask(new CheckSignatureTaskSpecification(m_newFile, m_entry.finalSha512, true, this, 0.2, signaturePath()));
    } else {
        // The signed ini lists the unpacked size: unpacking stops there.
        const qint64 maxOutput = m_entry.maxOutputSize();
        if (isLzmaContainer(source)) {
            auto *unpack = new FileUnpackTaskSpecification_lzma2(&m_rollbackList, source, m_newFile, this, 0.7);
            unpack->setMaxOutputSize(maxOutput);
            addTask(unpack);
        } else {
            auto *unpack = new FileUnpackTaskSpecification_zip(&m_rollbackList, source, m_newFile, this, 0.7);
            unpack->setMaxOutputSize(maxOutput);
            addTask(unpack);
        }
        addTask(new CheckSignatureTaskSpecification(m_newFile, m_entry.finalSha512, true, this, 0.2, signaturePath()));
    }
    addTask(new FileInstallTaskSpecification(m_newFile, destination, wantsExecutable(destination), m_config->m_tempDir,
                                             &m_rollbackList, this, 0.1));
    setState(TASK_RUNNING);
    startTasks();
}

bool FileReplaceTaskSpecification::isLzmaContainer(const QString &path)
{
    return QFileInfo(path).suffix() == QLatin1String("_lzma2_");
}

QString FileReplaceTaskSpecification::failureText() const
{
    const QString destination = destinationPath();
    if (m_entry.hasPatch())
        return tr("Could not patch '%1' to '%2'").arg(oldCopyPath(), destination);
    if (!m_entry.isPacked())
        return tr("Could not copy '%1' to '%2'").arg(sourcePath(), destination);
    if (isLzmaContainer(sourcePath()))
        return tr("Could not unpack '%1' to '%2'").arg(sourcePath(), destination);
    return tr("Could not unzip '%1' to '%2'").arg(sourcePath(), destination);
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
    qDebug() << "Copy" << destination << "->" << oldCopy << boolText(FastFileCopy::copyFile(destination, oldCopy));
    emit message(tr("Patching %1").arg(makeEntryPath(m_entry)));
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (computeState() == TASK_FINISHED) {
        if (m_parentRollbackList)
            m_parentRollbackList->addList(m_rollbackList);
        makeSingleFileExecutable(destinationPath());
    } else {
        m_rollbackList.rollbackAll(this);
        // A signature that did not hold must not stay where the next run would take it as fetched.
        if (m_entry.isPacked() && m_entry.finalSha512.isEmpty())
            QFile::remove(signaturePath());
    }
    ComposedTaskSpecification::subtasksDone();
}

bool FileReplaceTaskSpecification::wantsExecutable(const QString &path)
{
    const QFileInfo info(path);
    return specialFileNames.contains(info.fileName()) || specialFileSuffixes.contains(info.completeSuffix());
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString &path)
{
    const QFileInfo info(path);
    qDebug() << "Executable check" << path << info.fileName() << info.completeSuffix();
    if (!wantsExecutable(path))
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
