#include "installjournal.h"

#include "filedescriptor.h"
#include "fileinstall.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QtConcurrent/QtConcurrentMap>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kJournalName[] = "install.journal";
const QByteArray kCommitLine = "commit";

QByteArray field(const QString &text)
{
    return text.toUtf8().toPercentEncoding();
}

QString text(const QByteArray &field)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(field));
}

// One write per line: a kill leaves at most the last line incomplete, and that line is ignored. With sync the
// line, and every line before it, is on the disk when this returns true.
bool appendLine(const QString &sessionDir, const QByteArray &line, bool sync = false)
{
    const QByteArray name = QFile::encodeName(InstallJournal::path(sessionDir));
    FileDescriptor fd(::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.isValid())
        return false;
    const QByteArray bytes = line + '\n';
    if (!fd.writeAll(bytes.constData(), size_t(bytes.size())))
        return false;
    if (sync && ::fdatasync(fd.get()) != 0)
        return false;
    return fd.close();
}

bool syncJournal(const QString &sessionDir)
{
    FileDescriptor fd(::open(QFile::encodeName(InstallJournal::path(sessionDir)).constData(),
                             O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    return fd.isValid() && ::fdatasync(fd.get()) == 0;
}

// Everything written into the installation (linked, copied, unpacked and patched files, renames, new
// directories) reaches the disk: one syncfs() of its file system, which costs less than an fsync() of each new
// file and of each directory.
bool syncFileSystemOf(const QString &dir)
{
    FileDescriptor fd(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.isValid() && ::syncfs(fd.get()) == 0;
}

// Whether path lies below root by its text (no ".." after cleaning, nothing absolute elsewhere) and reaches it
// through no link inside root.
bool isInside(const QString &path, const QString &root)
{
    if (root.isEmpty() || !QDir::isAbsolutePath(path))
        return false;
    const QString cleanRoot = QDir::cleanPath(root);
    const QString cleanPath = QDir::cleanPath(path);
    if (!cleanPath.startsWith(cleanRoot + "/"))
        return false;
    return !FileInstall::leadsThroughLink(cleanRoot, cleanPath.mid(cleanRoot.size() + 1));
}

qint64 modifiedNs(const struct stat &st)
{
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Whether the entry at path is the one the record describes: same inode and, where recorded, for a file the
// same modification time.
bool isRecordedEntry(const QString &path, const RollbackData &record)
{
    struct stat st;
    if (record.inode == 0 || ::lstat(QFile::encodeName(path).constData(), &st) != 0 ||
        quint64(st.st_ino) != record.inode)
        return false;
    // A directory's time changes with what is put into or taken out of it: for it the inode must do.
    return record.modified == 0 || S_ISDIR(st.st_mode) || modifiedNs(st) == record.modified;
}

// The names this program creates and removes in the installation are hidden ones ("." + name + marker).
bool isHiddenName(const QString &path)
{
    return QFileInfo(path).fileName().startsWith('.');
}

// What an unpack writes while it works on a file (see SlowFileOpFunc): hidden names beside it. Each directory
// is listed once for all of its files: listing it once per file would make a large update quadratic.
void removeWorkFilesOf(const QStringList &paths)
{
    static const QString kMarker = QStringLiteral(".part-");
    QHash<QString, QSet<QString>> prefixesByDir;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        prefixesByDir[info.path()].insert("." + info.fileName().left(60) + kMarker);
    }
    for (auto it = prefixesByDir.cbegin(); it != prefixesByDir.cend(); ++it) {
        const QDir dir(it.key());
        const QStringList names = dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
        for (const QString &name : names) {
            if (!name.startsWith('.'))
                continue;
            // The marker may also stand inside the kept part of the name: try every place it ends.
            for (int at = name.indexOf(kMarker); at >= 0; at = name.indexOf(kMarker, at + 1)) {
                if (it.value().contains(name.left(at + kMarker.size()))) {
                    QFile::remove(dir.filePath(name));
                    break;
                }
            }
        }
    }
}

} // namespace

QString InstallJournal::path(const QString &sessionDir)
{
    return sessionDir + "/" + kJournalName;
}

bool InstallJournal::record(const QString &sessionDir, const RollbackData &record)
{
    if (sessionDir.isEmpty())
        return true; // no session, no journal
    // A rename or exchange records what it moves, so that an undo never moves something else that came to lie
    // there after a kill: its inode and modification time.
    quint64 inode = record.inode;
    qint64 modified = 0;
    if (record.op == FILE_RENAME || record.op == PATH_ASIDE || record.op == FILE_EXCHANGE) {
        struct stat st;
        if (::lstat(QFile::encodeName(record.second).constData(), &st) == 0 &&
            (inode == 0 || quint64(st.st_ino) == inode)) {
            inode = quint64(st.st_ino);
            modified = modifiedNs(st);
        }
    }
    const QByteArray line = QByteArray::number(record.op) + ' ' + field(record.first) + ' ' + field(record.second) +
        ' ' + QByteArray::number(inode) + ' ' + QByteArray::number(modified);
    if (appendLine(sessionDir, line))
        return true;
    qDebug() << "Could not write the install journal in" << sessionDir;
    return false;
}

bool InstallJournal::read(const QString &sessionDir, const QString &installDir, QList<RollbackData> *records,
                          bool *committed)
{
    *committed = false;
    records->clear();
    QFile file(path(sessionDir));
    if (!FileInstall::entryExists(file.fileName()))
        return true;
    if (QFileInfo(file).isSymLink() || !file.open(QIODevice::ReadOnly)) {
        qDebug() << "Install journal not readable" << file.fileName();
        return false;
    }
    if (file.size() > kMaxBytes) {
        qDebug() << "Install journal too large, not read:" << file.fileName() << file.size();
        return false;
    }
    auto allowed = [&](const QString &p) { return isInside(p, installDir) || isInside(p, sessionDir); };
    while (!file.atEnd()) {
        QByteArray line = file.readLine(kMaxBytes);
        // Without its line break the line is one that a kill cut short: its change was not made.
        if (!line.endsWith('\n'))
            break;
        line.chop(1);
        if (line == kCommitLine) {
            *committed = true;
            continue;
        }
        // A line of an earlier version has no modification time.
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 4 && fields.size() != 5)
            continue;
        bool ok = false;
        const int op = fields[0].toInt(&ok);
        if (!ok)
            continue;
        RollbackData record = (op == FILE_CREATE || op == DIR_CREATE) ? RollbackData(op, text(fields[1]))
            : (op == FILE_RENAME || op == FILE_EXCHANGE || op == PATH_ASIDE)
            ? RollbackData(op, text(fields[2]), text(fields[1]))
            : RollbackData(FILE_CREATE, QString());
        if (record.first.isEmpty())
            continue;
        if (!allowed(record.first) || (!record.second.isEmpty() && !allowed(record.second))) {
            qDebug() << "Install journal record outside the installation ignored:" << line;
            continue;
        }
        record.inode = fields[3].toULongLong();
        record.modified = fields.size() == 5 ? fields[4].toLongLong() : 0;
        records->append(record);
    }
    return true;
}

bool InstallJournal::commit(const QString &sessionDir, const QString &installDir)
{
    if (sessionDir.isEmpty())
        return true;
    bool committed = false;
    QList<RollbackData> records;
    if (!read(sessionDir, installDir, &records, &committed))
        return false;
    if (!committed && !records.isEmpty()) {
        // The new bytes and names first, then the records, then the line that makes them final: a power cut
        // at any point leaves either a journal without "commit" whose undo finds every change it names, or a
        // commit whose new files are whole.
        if (!syncFileSystemOf(installDir) || !syncJournal(sessionDir) || !appendLine(sessionDir, kCommitLine, true)) {
            qDebug() << "Could not make the install journal's commit durable in" << sessionDir;
            return false;
        }
    }
    finish(records);
    QFile::remove(path(sessionDir));
    return true;
}

void InstallJournal::finish(const QList<RollbackData> &records)
{
    // The replaced and the deleted files go several at once: freeing their blocks is most of the work here,
    // and the file system frees the blocks of different files side by side. Each has a name of its own.
    QList<RollbackData> removals;
    for (const RollbackData &record : records) {
        if ((record.op == FILE_EXCHANGE && isHiddenName(record.second)) ||
            (record.op == PATH_ASIDE && isHiddenName(record.first)))
            removals.append(record);
    }
    QtConcurrent::blockingMap(removals, [](const RollbackData &record) {
        if (record.op == FILE_EXCHANGE)
            qDebug() << "Remove replaced file" << record.second << FileInstall::removeTree(record.second);
        else
            qDebug() << "Remove deleted path" << record.first << FileInstall::removeTree(record.first);
    });
    QStringList created;
    for (const RollbackData &record : records) {
        switch (record.op) {
        case FILE_CREATE:
            // A new file is under its installed name by now; anything left under its working names goes.
            if (isHiddenName(record.first) && !QFileInfo(record.first).isDir())
                QFile::remove(record.first);
            created.append(record.first);
            break;
        default:
            break;
        }
    }
    removeWorkFilesOf(created);
}

void InstallJournal::rollBack(const QString &sessionDir, const QString &installDir)
{
    if (sessionDir.isEmpty())
        return;
    bool committed = false;
    QList<RollbackData> records;
    if (!read(sessionDir, installDir, &records, &committed))
        return;
    undoAll(records);
    QFile::remove(path(sessionDir));
}

bool InstallJournal::settle(const QString &sessionDir, const QString &installDir)
{
    if (sessionDir.isEmpty() || !FileInstall::entryExists(path(sessionDir)))
        return true;
    bool committed = false;
    QList<RollbackData> records;
    if (!read(sessionDir, installDir, &records, &committed)) {
        qDebug() << "Install journal of an interrupted run refused, left as it is:" << path(sessionDir);
        return false;
    }
    qDebug() << "Settling the install journal of an interrupted run:" << (committed ? "commit" : "roll back");
    // A committed journal's line is on the disk already: what is left of the commit is the removal.
    if (committed)
        finish(records);
    else
        undoAll(records);
    QFile::remove(path(sessionDir));
    return true;
}

void InstallJournal::undoAll(const QList<RollbackData> &records)
{
    QStringList created;
    for (int i = records.size() - 1; i >= 0; --i) {
        undo(records[i]);
        if (records[i].op == FILE_CREATE)
            created.append(records[i].first);
    }
    removeWorkFilesOf(created);
}

void InstallJournal::undo(const RollbackData &record)
{
    // Each record was written before its change, so the change may or may not have been made: undo only
    // what the file system shows in effect, and only on the entry the record names. Undoing twice therefore
    // does nothing the second time.
    switch (record.op) {
    case FILE_CREATE:
        // Its work files beside it go with the others of its directory (see rollBack).
        if (isHiddenName(record.first) && !QFileInfo(record.first).isDir())
            QFile::remove(record.first);
        break;
    case DIR_CREATE:
        QDir().rmdir(record.first);
        break;
    case FILE_RENAME:
    case PATH_ASIDE:
        if (isRecordedEntry(record.first, record) && !FileInstall::entryExists(record.second))
            FileInstall::renameNoReplace(record.first, record.second);
        break;
    case FILE_EXCHANGE:
        if (isRecordedEntry(record.first, record) && FileInstall::entryExists(record.second))
            FileInstall::exchange(record.first, record.second);
        break;
    default:
        break;
    }
}
