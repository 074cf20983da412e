#include "oldfileremover.h"

#include "updateengine.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {

const QStringList kQt4Libraries = {"libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4"};

const QStringList kOldFileNames = {
    "update",         "libQtCore.so.4",  "libQtGui.so.4",  "libQtNetwork.so.4",
    "libQtSql.so.4",  "libQt5Core.so.5", "libQt5Gui.so.5", "libQt5Network.so.5",
    "libQt5Sql.so.5", "libqgif.so",      "libqjpeg.so",    "libqtaccessiblewidgets.so",
    "libsqlite.so",
};

const char kOldPrefix[] = "_old_";
const QStringList kSubdirectories = {"/old", "/imageformats", "/accessible", "/sqldrivers"};

// Removes dir/name as a file when an entry exists there (following a link for the test, as QFile does), after
// logging it with label. A directory of that name is logged but stays.
void removeListed(const QString &dir, const QString &name, const char *label)
{
    const QString path = QDir(dir).absoluteFilePath(name);
    if (!QFile::exists(path))
        return;
    qDebug() << label << path;
    QFile::remove(path);
}

} // namespace

void UpdateEngine::removeQt4Files(const QString &dir)
{
    for (const QString &name : kQt4Libraries)
        removeListed(dir, name, "Remove Qt4 file:");
}

void UpdateEngine::removeOldFiles(const QString &dir)
{
    for (const QString &name : kOldFileNames)
        removeListed(dir, kOldPrefix + name, "Remove old file:");
}

void removeOldFilesAtStart(const QString &programDir)
{
    UpdateEngine::removeQt4Files(programDir);
    UpdateEngine::removeOldFiles(programDir);
    for (const QString &sub : kSubdirectories) {
        const QString dir = programDir + sub;
        if (QFileInfo(dir).isSymLink()) {
            qDebug() << "Not removing old files behind the link" << dir;
            continue;
        }
        UpdateEngine::removeOldFiles(dir);
    }
    // rmdir removes only an empty directory, and never a link.
    QDir().rmdir(programDir + "/old");
    qDebug() << "Removing old files done";
}
