#include "updateengine.h"

#include "configuration.h"
#include "filedigest.h"
#include "installjournal.h"
#include "maintaskspecification.h"
#include "rsakey.h"
#include "sessionsettler.h"
#include "updateinidata.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTimer>
#include <QUrl>

namespace {
const int kPullIntervalMs = 1000; // also the clock of the downloads' stall watchdog
const int kDefaultProxyPort = 3128;
} // namespace

UpdateEngine::UpdateEngine(Configuration *config, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_timer(new QTimer(this))
    , m_networkManager(new QNetworkAccessManager(this))
{
    connect(m_config, &Configuration::message, this, &UpdateEngine::message);
    connect(m_timer, &QTimer::timeout, this, &UpdateEngine::onTimer);
    m_config->readUpdateIni();
    setProxy();
}

void UpdateEngine::setProxy()
{
    const QString text = m_config->m_proxy;
    if (text.isEmpty()) {
        // Explicitly none, so that neither an application-wide nor the system's proxy applies.
        m_networkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    const QUrl url(text, QUrl::TolerantMode);
    // "host:port" parses as a valid URL with the scheme "host" and no host at all: a proxy without a host
    // would only make every download fail, so it is refused like any other unusable text.
    if (!url.isValid() || url.host().isEmpty()) {
        // The window connects to the engine only after constructing it: deliver from the event loop.
        const QString reason = tr("'%1' is an invalid proxy specification").arg(text);
        QMetaObject::invokeMethod(
            this, [this, reason] { emit fatalError(reason); }, Qt::QueuedConnection);
        return;
    }
    // Credentials in the URL are not used.
    m_networkManager->setProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, url.host(QUrl::FullyDecoded), url.port(kDefaultProxyPort)));
}

bool UpdateEngine::initialize()
{
    Q_ASSERT(m_State == PRE_INIT);

    filedigest::initialize();
    try {
        RsaKey::initCrypto();
    } catch (const crypt_exception &e) {
        emit fatalError(QString::fromLatin1(e.what()));
        return false;
    }

    int version = 0;
    QString tempDir;
    QString installDir;
    // Without a usable record all three stay empty.
    const bool haveRecord = UpdateIniData::get(&version, nullptr, &tempDir, &installDir);

    // One run at a time changes an installation, whichever step it is: the start-up normally holds this lock
    // already (see main), and then this only shares it.
    const QString installation = installDir.isEmpty() ? QCoreApplication::applicationDirPath() : installDir;
    // An installation directory that is not there yet cannot be locked, and no other run can change it.
    if (!m_installLock.tryLock(installation) && m_installLock.wasBusy()) {
        qDebug() << "Another run holds the installation" << installation;
        emit error(tr("Another update of this installation is running."));
        return false;
    }

    // A session that another live run holds is not this run's to settle, continue or remove.
    if (haveRecord && !m_sessionLock.tryLock(tempDir)) {
        qDebug() << "Recorded session in use by another run, starting a new one:" << tempDir;
        tempDir.clear();
        installDir.clear();
    } else if (haveRecord && !InstallJournal::settle(tempDir, installation)) {
        // A journal that cannot be trusted to be read: its session is left as it is, with the changes it names.
        qDebug() << "Recorded session's install journal refused, starting a new session";
        m_sessionLock.release();
        tempDir.clear();
        installDir.clear();
    } else if (haveRecord) {
        // A run that was killed while it changed the installation is settled by now, so the installation holds
        // one whole version again.
        qDebug() << "Current version =" << version << "/ new version =" << m_config->m_version;
        if (version == m_config->m_version) {
            qDebug() << "Continuing previous session";
            emit message(tr("Previous update session for v. %1 found").arg(version));
        } else {
            qDebug() << "Cleaning up previous session";
            emit message(tr("Cleanup previous session (v. %1, %2) files...").arg(version).arg(tempDir));
            emit message(removeSessionDirectory(tempDir) ? tr("Ok") : tr("Failed to remove directory"));
            if (!UpdateIniData::remove())
                qDebug() << "Failed to remove the session record from" << UpdateIniData::path();
            m_sessionLock.release();
            tempDir.clear();
            installDir.clear();
        }
    }

    if (!m_config->initalizeStart(tempDir, installDir))
        return false;
    if (!m_sessionLock.isLocked() && !m_sessionLock.tryLock(m_config->m_tempDir))
        qDebug() << "Could not lock the new session directory" << m_config->m_tempDir;
    // What killed or failed runs left for this installation is settled before anything is planned.
    SessionSettler::settleStaleSessions(m_config->m_installDir, m_config->m_tempDir);

    qDebug() << "initialize"
             << "modifying update.ini" << m_config->m_clientUpdate;
    if (!UpdateIniData::modify(m_config->m_version, m_config->m_tempDir, m_config->m_installDir,
                               m_config->m_clientType)) {
        qDebug() << "Failed to write to update.ini";
        emit error(tr("Failed to write update.ini. The updater does not seem to have the required write "
                      "permissions."));
        return false;
    }
    m_State = POST_INIT;
    return true;
}

bool UpdateEngine::startUpdate()
{
    qDebug() << "Starting update";
    Q_ASSERT(m_State == POST_INIT);

    m_mainTask = createMainTask();
    connect(m_mainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(m_mainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(m_mainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(m_mainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(m_mainTask, &TaskSpecification::message, this, &UpdateEngine::message);

    m_State = RUNNING;
    m_timer->start(kPullIntervalMs);
    // The task may end inside execute(); m_mainTask is not touched after it.
    m_mainTask->execute();
    return true;
}

MainTaskSpecification *UpdateEngine::createMainTask()
{
    return new MainTaskSpecification(m_networkManager, m_config, this, 1.0);
}

void UpdateEngine::onTimer()
{
    if (m_State != RUNNING || !m_mainTask)
        return;
    quint64 received = 0;
    quint64 total = 0;
    quint64 sinceLastPoll = 0;
    bool active = false;
    m_mainTask->getDownloadProgress(received, total, sinceLastPoll, active);
    emit downloadProgress(received, total, sinceLastPoll, active);
}

void UpdateEngine::cancelUpdate()
{
    if (m_State == RUNNING && m_mainTask)
        m_mainTask->cancel();
}

void UpdateEngine::onTaskFinished()
{
    m_timer->stop();
    cleanup();
    m_State = FINISHED;
    emit message(tr("Update successfully finished"));
    m_mainTask->deleteLater();
    m_mainTask = nullptr;
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    qDebug() << "Update canceled, main task state" << m_mainTask->state();
    m_timer->stop();
    m_State = CANCELED;
    // A requested cancel ends the main task in TASK_ERROR when the running sub-task still finished normally.
    if (m_mainTask->state() == TASK_ERROR)
        emit message(tr("User aborted update"));
    m_mainTask->deleteLater();
    m_mainTask = nullptr;
    emit downloadProgress(0, 0, 0, false);
    // No clean-up: the record and the temporary directory let the next run of this version continue.
    emit updateCanceled();
}

void UpdateEngine::resetAfterCancel()
{
    Q_ASSERT(m_State == CANCELED);
    m_State = PRE_INIT;
    if (m_mainTask) {
        disconnect(m_mainTask, nullptr, this, nullptr);
        m_mainTask->deleteLater();
        m_mainTask = nullptr;
    }
}

bool UpdateEngine::isActive() const
{
    return m_State == POST_INIT || m_State == RUNNING;
}

void UpdateEngine::cleanup()
{
    qDebug() << "cleanup";
    if (m_config->m_clientUpdate == 0) {
        // Step two runs from the temporary directory: it stays. Only the record goes, not the user's groups.
        UpdateIniData::remove();
        qDebug() << "Deleted local update.ini" << UpdateIniData::path();
        emit message(tr("Removed temporary update.ini"));
        return;
    }

    qDebug() << "Removing temporary files";
    emit message(tr("Remove temporary files..."));
    // In step two the program directory is the temporary directory, and the record names it.
    int version = 0;
    QString tempDir;
    if (UpdateIniData::get(&version, nullptr, &tempDir, nullptr)) {
        removeSessionDirectory(tempDir);
        UpdateIniData::remove();
    }
    emit message(tr("Temporary files removed."));
}

bool UpdateEngine::removeSessionDirectory(const QString &dir)
{
    const QString record = dir + "/update.ini";
    removeDirEntries(dir, record);
    QFile::remove(record);
    QDir parent(dir);
    return parent.cdUp() && parent.rmdir(QFileInfo(dir).fileName());
}

void UpdateEngine::removeDirRecursive(const QString &dir)
{
    removeDirEntries(dir, QString());
}

void UpdateEngine::removeDirEntries(const QString &dir, const QString &keep)
{
    const QDir d(dir);
    const QDir::Filters common = QDir::Hidden | QDir::System | QDir::NoSymLinks | QDir::NoDotAndDotDot;
    const QFileInfoList files = d.entryInfoList(QDir::Files | common);
    for (const QFileInfo &file : files) {
        if (file.absoluteFilePath() != keep)
            QFile::remove(file.absoluteFilePath());
    }
    const QFileInfoList dirs = d.entryInfoList(QDir::Dirs | common);
    for (const QFileInfo &sub : dirs) {
        removeDirRecursive(sub.absoluteFilePath());
        d.rmdir(sub.fileName());
    }
}
