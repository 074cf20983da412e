#include "updatechecker.h"

#include "versioninfo.h"

#include <QNetworkRequest>
#include <QUrl>

#include <string>

void registerUpdateVersionsType()
{
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
}

UpdateChecker::UpdateChecker(QObject *parent)
    : QObject(parent)
{
}

UpdateChecker::~UpdateChecker()
{
    if (!m_downloader)
        return;
    // The downloader's own deletion needs an event loop that may never run again. Once its thread has
    // ended nothing else refers to it, and deleting it also drops an answer not yet delivered.
    m_downloader->quit();
    m_downloader->wait();
    delete m_downloader.data();
}

void UpdateChecker::checkForUpdates(int transferTimeoutMs)
{
    std::string url;
    getDefaultVersionsUrl(url);
    QNetworkRequest request(QUrl(QString::fromUtf8(url.c_str())));
    request.setTransferTimeout(transferTimeoutMs);
    // Without parent: the downloader deletes itself once its thread has ended (unless this checker goes
    // first), and it emits on this (the creating) thread, so the slot runs directly here.
    m_downloader = new HTTPDownloader(request);
    connect(m_downloader, &HTTPDownloader::download_available, this, &UpdateChecker::on_updateCheckAvailable);
    m_downloader->start();
}

QPair<QString, QString> UpdateChecker::versionForChannel(const UpdateVersions &versions, int channel)
{
    static const char *const names[] = {"stable", "beta", "alpha"};
    if (channel < 0 || channel > 2)
        return {};
    return versions.value(QString::fromLatin1(names[channel]));
}

void UpdateChecker::on_updateCheckAvailable(const QByteArray &data)
{
    UpdateVersions versions;
    VersionInfo info;
    if (parseVersions(data.constData(), data.size(), &info) == PARSE_OK) {
        for (const std::string &name : info.channelNames) {
            QString number = QStringLiteral("0");
            QString text;
            const auto entry = info.channelVersions.find(name);
            if (entry != info.channelVersions.end()) {
                // Read as unsigned, so a negative number shows up as a large one and is refused later
                // as a version that does not fit.
                number = QString::number(static_cast<quint32>(entry->second.version_number));
                text = QString::fromUtf8(entry->second.version_string.data(),
                                         static_cast<int>(entry->second.version_string.size()));
            }
            versions.insert(QString::fromUtf8(name.data(), static_cast<int>(name.size())), qMakePair(number, text));
        }
    }
    emit update_available(versions);
    deleteLater();
}
