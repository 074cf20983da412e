#include "rollback.h"

#include <QCoreApplication>
#include "fileinstall.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

RollbackData::RollbackData(int op, const QString &source, const QString &target)
    : first(target)
    , second(source)
    , op(op)
{
    Q_ASSERT_X(op == FILE_RENAME || op == PATH_ASIDE || op == FILE_EXCHANGE, "RollbackData", "op==FILE_RENAME");
}

RollbackData RollbackData::exchanged(const QString &installed, const QString &hidden, quint64 newInode)
{
    RollbackData record(FILE_EXCHANGE, hidden, installed);
    record.inode = newInode;
    return record;
}

RollbackData RollbackData::movedAside(const QString &path, const QString &aside)
{
    return RollbackData(PATH_ASIDE, path, aside);
}

RollbackData::RollbackData(int op, const QString &path)
    : first(path)
    , op(op)
{
    Q_ASSERT_X(op == FILE_CREATE || op == DIR_CREATE, "RollbackData", "op!=FILE_RENAME");
}

bool RollbackData::rollback(QObject *reporter) const
{
    switch (op) {
    case FILE_RENAME:
        if (QFile::rename(first, second))
            return true;
        message(reporter, QCoreApplication::translate("RollbackData", "warning: rollback rename %1 to %2 failed").arg(second, first));
        return false;
    case FILE_EXCHANGE:
        if (FileInstall::exchange(first, second))
            return true;
        message(reporter, QStringLiteral("warning: rollback rename %1 to %2 failed").arg(second, first));
        return false;
    case PATH_ASIDE:
        if (FileInstall::renameNoReplace(first, second))
            return true;
        message(reporter, QStringLiteral("warning: rollback rename %1 to %2 failed").arg(second, first));
        return false;
    case FILE_CREATE:
        if (QFile::remove(first))
            return true;
        message(reporter, QCoreApplication::translate("RollbackData", "warning: rollback create file %1 failed").arg(first));
        return false;
    case DIR_CREATE: {
        // Cleaned first: with a trailing "/" the parent and the last component would name the directory
        // itself and a child of the same name.
        const QString dir = QDir::cleanPath(first);
        if (QFileInfo(dir).dir().rmdir(QDir(dir).dirName()))
            return true;
        message(reporter, QCoreApplication::translate("RollbackData", "warning: rollback create dir %1 failed").arg(first));
        return false;
    }
    default:
        qFatal("Should not reach here");
    }
    return false;
}

void RollbackData::message(QObject *reporter, const QString &text)
{
    if (!reporter)
        return;
    if (!QMetaObject::invokeMethod(reporter, "message", Qt::AutoConnection, Q_ARG(QString, text)))
        qDebug() << "Warning: message signal was not found in RollbackData::message";
}

void RollbackDataList::addRecord(const RollbackData &record)
{
    append(record);
}

void RollbackDataList::addList(const RollbackDataList &other)
{
    const QList<RollbackData> records = other; // a copy, so adding a list to itself works too
    append(records);
}

void RollbackDataList::clearRecords()
{
    clear();
}

bool RollbackDataList::rollbackAll(QObject *reporter)
{
    bool ok = true;
    while (!isEmpty()) {
        const RollbackData record = takeLast();
        if (!record.rollback(reporter))
            ok = false;
    }
    return ok;
}
