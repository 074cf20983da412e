#include "fileinstalltaskspecification.h"

#include "fileinstall.h"
#include "installjournal.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

namespace {

// Read and execute for everyone, write for the owner only.
const QFileDevice::Permissions kExecutableMode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
    QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
    QFile::ExeOther;

bool exchangeNames(const QString &a, const QString &b)
{
    return FileInstall::exchange(a, b);
}

bool renameNoReplace(const QString &source, const QString &target)
{
    return FileInstall::renameNoReplace(source, target);
}

} // namespace

FileInstallTaskSpecification::FileInstallTaskSpecification(const QString &newFile, const QString &target,
                                                           bool executable, const QString &journalDir,
                                                           RollbackDataList *rollback, QObject *parent, qreal weight)
    : FastFileOpTaskSpecification(target, rollback, parent, weight)
    , m_newFile(newFile)
    , m_executable(executable)
    , m_journalDir(journalDir)
{
}

bool FileInstallTaskSpecification::fail()
{
    emit message(tr("Could not rename '%1' to '%2'").arg(m_newFile, path()));
    return false;
}

bool FileInstallTaskSpecification::recordAndDo(const RollbackData &record,
                                               bool (*change)(const QString &, const QString &))
{
    if (!m_journalDir.isEmpty() && !InstallJournal::record(m_journalDir, record))
        return false;
    // Records name the rename's destination first and its source second.
    const bool swap = record.op == FILE_EXCHANGE;
    if (!change(swap ? record.first : record.second, swap ? record.second : record.first))
        return false;
    addRollback(record);
    return true;
}

bool FileInstallTaskSpecification::doOp()
{
    const QString &target = path();
    const QFileInfo old(target);
    // A directory in the file's place is not moved away: the step fails and rolls back.
    if (old.isDir() && !old.isSymLink())
        return fail();
    // The new file takes the old one's group, owner and ACL, or what the directory gives a new file; the mode
    // comes last, since a change of owner may clear mode bits.
    if (old.exists() && !old.isSymLink())
        FileInstall::takeOwnershipOf(target, m_newFile);
    else
        FileInstall::takeDirectoryDefaults(m_newFile);
    if (m_executable)
        QFile::setPermissions(m_newFile, kExecutableMode);
    else if (old.exists() && !old.isSymLink())
        QFile::setPermissions(m_newFile, old.permissions());
    const quint64 inode = FileInstall::inodeOf(m_newFile);
    if (inode == 0)
        return fail();

    if (!FileInstall::entryExists(target))
        return recordAndDo(RollbackData(FILE_RENAME, m_newFile, target), renameNoReplace) || fail();

    if (recordAndDo(RollbackData::exchanged(target, m_newFile, inode), exchangeNames))
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return fail();
    qDebug() << "The file system cannot exchange" << m_newFile << "and" << target
             << "- moving the old file aside first";
    const QString aside = FileInstall::temporaryPathBeside(target, QStringLiteral(".old-"));
    if (!recordAndDo(RollbackData::movedAside(target, aside), renameNoReplace))
        return fail();
    return recordAndDo(RollbackData(FILE_RENAME, m_newFile, target), renameNoReplace) || fail();
}
