#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "sizelimits.h"

#include <QDebug>
#include <QFile>

#include <limits>

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const DownloadEntry &entry, QNetworkAccessManager *manager,
                                                             Configuration *config, QObject *parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_Entry(entry)
    , m_Manager(manager)
    , m_Config(config)
{
}

QString DownloadFileTaskSpecification::localPath() const
{
    return m_Config->m_tempDir + "/" + m_Entry.name;
}

void DownloadFileTaskSpecification::execute()
{
    // A size beyond what the counters can hold counts as unknown.
    const qint64 size = m_Entry.size > quint64(std::numeric_limits<qint64>::max()) ? -1 : qint64(m_Entry.size);
    const QString remotePath = m_Entry.section + "/" + m_Entry.name;
    if (m_Entry.signature) {
        m_DownloadTask =
            new DownloadTaskSpecification(m_Manager, remotePath, m_Config->m_version, localPath(), -1, this, 1.0);
        m_DownloadTask->setMaxSize(sizelimits::kMaxSignatureSize);
        addTask(m_DownloadTask);
        setState(TASK_RUNNING);
        startTasks();
        return;
    }
    const bool signatureOnly = m_Entry.sha512.isEmpty();

    // A line without a digest is vouched for by the file's own signature, fetched first, beside it: without
    // one the file itself is not even fetched.
    if (signatureOnly) {
        auto *signature = new DownloadTaskSpecification(m_Manager, remotePath + ".sig", m_Config->m_version,
                                                        localPath() + ".sig", -1, this, 0.1);
        signature->setMaxSize(sizelimits::kMaxSignatureSize);
        addTask(signature);
    }
    // A line with a digest is checked while it arrives: a body that does not match fails its attempt, is retried,
    // and never lies under the final name, so that check is the binding one and needs no second read.
    m_DownloadTask = new DownloadTaskSpecification(m_Manager, remotePath, m_Config->m_version, localPath(), size, this,
                                                   signatureOnly ? 0.7 : 1.0);
    addTask(m_DownloadTask);
    if (signatureOnly) {
        // Binding too: a file that fails its signature is not taken.
        auto *check = new CheckSignatureTaskSpecification(localPath(), QString(), true, this, 0.2);
        connect(check, &CheckSignatureTaskSpecification::checkDone, this,
                &DownloadFileTaskSpecification::onSigCheckDone);
        addTask(check);
    } else {
        m_DownloadTask->setExpectedSha512(m_Entry.sha512);
    }

    setState(TASK_RUNNING);
    startTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool ok, CheckSignatureTaskSpecification *task)
{
    Q_UNUSED(task)
    if (ok)
        return;
    // Only a line without a digest has this check. A file that fails it must not stay where the next run
    // would take it as downloaded.
    qDebug() << "Removing" << localPath();
    QFile::remove(localPath());
    QFile::remove(localPath() + ".sig");
}

void DownloadFileTaskSpecification::reset()
{
    clearTasks();
    m_DownloadTask = nullptr;
    // The composed reset, with no sub-tasks left, also clears its end-of-run flags, so execute() can run again.
    ComposedTaskSpecification::reset();
}
