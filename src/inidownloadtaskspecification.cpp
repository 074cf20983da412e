#include "inidownloadtaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "sizelimits.h"

#include <QDebug>
#include <QFile>

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager *manager, Configuration *config,
                                                           QObject *parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_Manager(manager)
    , m_Config(config)
{
}

QString IniDownloadTaskSpecification::iniName(const Configuration &config)
{
    const QString prefix = config.m_clientUpdate == 1 ? QStringLiteral("cv5_") : QString();
    return prefix + Configuration::packageType(config.m_clientUpdate != 0) + ".ini";
}

QString IniDownloadTaskSpecification::localPath(const QString &name) const
{
    return m_Config->m_tempDir + "/" + name;
}

void IniDownloadTaskSpecification::execute()
{
    emit message(tr("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString ini = iniName(*m_Config);
    const QString packed = packedName(*m_Config);
    const QString signature = signatureName(*m_Config);
    qDebug() << "makeSubtasksAndStart" << ini << packed;

    // The unpack's weight lies outside the share the downloads and the check divide between them.
    qreal checkWeight = 1.0;
    if (!QFile::exists(localPath(ini))) {
        qDebug() << "Requesting" << packed;
        // Nothing of these is signed yet, so what they may take is capped.
        auto *download =
            new DownloadTaskSpecification(m_Manager, packed, m_Config->m_version, localPath(packed), -1, this, 0.3333);
        download->setMaxSize(sizelimits::kMaxPackedIniSize);
        addTask(download);
        auto *unpack = new FileUnpackTaskSpecification_lzma2(nullptr, localPath(packed), localPath(ini), this, 1.0);
        unpack->setMaxOutputSize(sizelimits::kMaxIniSize);
        // The ini is text: the executable form would only let unsigned bytes drive the program decoder.
        unpack->setPlainOnly(true);
        addTask(unpack);
        checkWeight = 0.6667;
    }
    if (!QFile::exists(localPath(signature))) {
        qDebug() << "Requesting" << signature;
        auto *download = new DownloadTaskSpecification(m_Manager, signature, m_Config->m_version,
                                                       localPath(signature), -1, this, 0.3333);
        download->setMaxSize(sizelimits::kMaxSignatureSize);
        addTask(download);
        checkWeight -= 0.3333;
    }
    auto *check = new CheckSignatureTaskSpecification(localPath(ini), QString(), true, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this, &IniDownloadTaskSpecification::onSigCheckDone);
    addTask(check);
    startTasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool ok, CheckSignatureTaskSpecification *task)
{
    Q_UNUSED(task)
    if (ok)
        return;
    qDebug() << "Failed to verify product ini, aborting";
    // A present file is never fetched again, so leaving a bad one would block this version for good.
    for (const QString &name : {iniName(*m_Config), packedName(*m_Config), signatureName(*m_Config)}) {
        const QString path = localPath(name);
        if (QFile::exists(path) && !QFile::remove(path))
            qDebug() << "Could not remove" << path;
    }
    emit message(tr("Could not verify the product ini file. Aborting"));
    setCanceled();
}

void IniDownloadTaskSpecification::subtasksDone()
{
    if (state() != TASK_RUNNING)
        return;
    ComposedTaskSpecification::subtasksDone();
}

void IniDownloadTaskSpecification::reset()
{
    clearTasks();
    // The composed reset, with no sub-tasks left, also clears the bookkeeping of the last run; without that
    // a second run could never end.
    ComposedTaskSpecification::reset();
}
