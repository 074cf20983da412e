#pragma once

#include "support/httptestserver.h"

#include <QByteArray>
#include <QString>

#include <string>

// Points the process-wide version-query URL somewhere else for its lifetime, so that a test's query
// reaches a server of the test's own on 127.0.0.1 and never the real one.
class ScopedVersionQueryUrl
{
public:
    explicit ScopedVersionQueryUrl(const QString &url);
    ~ScopedVersionQueryUrl();
    ScopedVersionQueryUrl(const ScopedVersionQueryUrl &) = delete;
    ScopedVersionQueryUrl &operator=(const ScopedVersionQueryUrl &) = delete;

private:
    std::string m_saved;
};

// The version server of a test: an HttpTestServer on 127.0.0.1 that answers the version query at the path
// of the program's real query URL, with the query URL pointed at it while the object lives. Without an
// answer set, the query gets 404.
class VersionServer
{
public:
    VersionServer();
    VersionServer(const VersionServer &) = delete;
    VersionServer &operator=(const VersionServer &) = delete;

    bool started() const { return m_started; }
    void setAnswer(const QByteArray &body); // a 200 answer with this body
    HttpTestServer &http() { return m_http; } // for faults and the request log
    QString path() const { return m_path; } // "/cv5-client-2"
    int queryCount() const { return m_http.requestCount(m_path); }

private:
    QString m_path;
    HttpTestServer m_http;
    bool m_started;
    ScopedVersionQueryUrl m_url;
};
