#include "versionserver.h"

#include "globals.h"

#include <QUrl>

ScopedVersionQueryUrl::ScopedVersionQueryUrl(const QString &url)
    : m_saved(versionQueryUrl)
{
    versionQueryUrl = url.toStdString();
}

ScopedVersionQueryUrl::~ScopedVersionQueryUrl()
{
    versionQueryUrl = m_saved;
}

VersionServer::VersionServer()
    : m_path(QUrl(QString::fromStdString(versionQueryUrl)).path())
    , m_started(m_http.start())
    , m_url(m_http.url(m_path.mid(1)))
{
}

void VersionServer::setAnswer(const QByteArray &body)
{
    m_http.setContent(m_path, body);
}
