#include "installjournal.h"

#include "fileinstall.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QtConcurrent/QtConcurrentMap>

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

bool appendLine(const QString &sessionDir, const QByteArray &line)
{
    QFile file(InstallJournal::path(sessionDir));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    // One write per line: a kill leaves at most the last line incomplete, and that line is ignored.
    const bool written = file.write(line + '\n') == line.size() + 1 && file.flush();
    file.close();
    return written && file.error() == QFileDevice::NoError;
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
    const QByteArray line = QByteArray::number(record.op) + ' ' + field(record.first) + ' ' + field(record.second) +
        ' ' + QByteArray::number(record.inode);
    if (appendLine(sessionDir, line))
        return true;
    qDebug() << "Could not write the install journal in" << sessionDir;
    return false;
}

QList<RollbackData> InstallJournal::read(const QString &sessionDir, bool *committed)
{
    *committed = false;
    QList<RollbackData> records;
    QFile file(path(sessionDir));
    if (!file.open(QIODevice::ReadOnly))
        return records;
    const QList<QByteArray> lines = file.readAll().split('\n');
    // The part after the last line break is empty, or a line that a kill cut short: its change was not made.
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        if (line == kCommitLine) {
            *committed = true;
            continue;
        }
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 4)
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
        record.inode = fields[3].toULongLong();
        records.append(record);
    }
    return records;
}

void InstallJournal::commit(const QString &sessionDir)
{
    if (sessionDir.isEmpty())
        return;
    bool committed = false;
    const QList<RollbackData> records = read(sessionDir, &committed);
    if (!committed && !records.isEmpty() && !appendLine(sessionDir, kCommitLine))
        qDebug() << "Could not mark the install journal committed in" << sessionDir;
    finish(records);
    QFile::remove(path(sessionDir));
}

void InstallJournal::finish(const QList<RollbackData> &records)
{
    // The replaced and the deleted files go several at once: freeing their blocks is most of the work here,
    // and the file system frees the blocks of different files side by side. Each has a name of its own.
    QList<RollbackData> removals;
    for (const RollbackData &record : records) {
        if (record.op == FILE_EXCHANGE || record.op == PATH_ASIDE)
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
            if (!QFileInfo(record.first).isDir())
                QFile::remove(record.first);
            created.append(record.first);
            break;
        default:
            break;
        }
    }
    removeWorkFilesOf(created);
}

void InstallJournal::rollBack(const QString &sessionDir)
{
    if (sessionDir.isEmpty())
        return;
    bool committed = false;
    const QList<RollbackData> records = read(sessionDir, &committed);
    QStringList created;
    for (int i = records.size() - 1; i >= 0; --i) {
        undo(records[i]);
        if (records[i].op == FILE_CREATE)
            created.append(records[i].first);
    }
    removeWorkFilesOf(created);
    QFile::remove(path(sessionDir));
}

void InstallJournal::settle(const QString &sessionDir)
{
    if (sessionDir.isEmpty() || !FileInstall::entryExists(path(sessionDir)))
        return;
    bool committed = false;
    read(sessionDir, &committed);
    qDebug() << "Settling the install journal of an interrupted run:" << (committed ? "commit" : "roll back");
    if (committed)
        commit(sessionDir);
    else
        rollBack(sessionDir);
}

void InstallJournal::undo(const RollbackData &record)
{
    // Each record was written before its change, so the change may or may not have been made: undo only
    // what the file system shows in effect. Undoing twice therefore does nothing the second time.
    switch (record.op) {
    case FILE_CREATE:
        // Its work files beside it go with the others of its directory (see rollBack).
        if (!QFileInfo(record.first).isDir())
            QFile::remove(record.first);
        break;
    case DIR_CREATE:
        QDir().rmdir(record.first);
        break;
    case FILE_RENAME:
    case PATH_ASIDE:
        if (FileInstall::entryExists(record.first) && !FileInstall::entryExists(record.second))
            FileInstall::renameNoReplace(record.first, record.second);
        break;
    case FILE_EXCHANGE:
        if (record.inode != 0 && FileInstall::inodeOf(record.first) == record.inode &&
            FileInstall::entryExists(record.second))
            FileInstall::exchange(record.first, record.second);
        break;
    default:
        break;
    }
}
