#include "sessionsettler.h"

#include "directorylock.h"
#include "fileentry.h"
#include "inisettings.h"
#include "installjournal.h"
#include "updateengine.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>


namespace {

const char kSessionPattern[] = "corvalink_temp_*";

// Two spellings of one installation directory count as the same.
bool sameDirectory(const QString &a, const QString &b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}

// The installation a session works on, from its own record (which step one writes before it hands over).
QString installationOf(const QString &sessionDir)
{
    const QString ini = sessionDir + "/update.ini";
    const QFileInfo info(ini);
    if (!info.isFile() || info.isSymLink())
        return QString();
    IniSettings settings(ini);
    return settings.value("current/cv5dir").toString();
}

void removeSession(const QString &dir)
{
    qDebug() << "Removed the session of an earlier run" << dir << UpdateEngine::removeSessionDirectory(dir);
}

} // namespace

int SessionSettler::settleStaleSessions(const QString &installDir, const QString &keep)
{
    const QDir temp(QDir::tempPath());
    const QStringList names = temp.entryList({kSessionPattern}, QDir::Dirs | QDir::Hidden | QDir::NoSymLinks);
    int removed = 0;
    for (const QString &name : names) {
        const QString dir = temp.filePath(name);
        if (sameDirectory(dir, keep) || !isPrivateDirectory(dir))
            continue;
        const QString installation = installationOf(dir);
        if (!sameDirectory(installation, installDir))
            continue;
        DirectoryLock lock;
        if (!lock.tryLock(dir)) {
            qDebug() << "Session in use by another run, left alone:" << dir;
            continue;
        }
        if (!InstallJournal::settle(dir, installation))
            continue;
        removeSession(dir);
        ++removed;
    }
    return removed;
}
