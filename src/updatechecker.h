#pragma once

#include "httpdownloader.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

// Channel name -> (version number as decimal text, version string), as the version server reported them.
// Empty when no usable answer arrived. Registered as the meta-type "UpdateVersions" at start-up.
using UpdateVersions = QHash<QString, QPair<QString, QString>>;

// Registers UpdateVersions under the name "UpdateVersions", which signals and slots use: without it,
// queued connections and signal spies cannot carry the answer. Called once at start-up.
void registerUpdateVersionsType();

// One version query: fetches the version server's answer on a thread of its own, decodes it and emits
// update_available exactly once. Deletes itself after the answer was handled.
class UpdateChecker : public QObject
{
    Q_OBJECT
public:
    explicit UpdateChecker(QObject *parent = nullptr);
    // Ends a query still under way and waits for its thread: the run may end before the answer arrives
    // (the configuration goes at the end of main), and a download thread still running while the process
    // exits crashes it.
    ~UpdateChecker() override;

    // Starts the query and returns at once. A server that sends nothing for transferTimeoutMs ends it
    // like a failed download.
    void checkForUpdates(int transferTimeoutMs = HTTPDownloader::defaultTransferTimeoutMs);

    // The entry of channel 0 "stable", 1 "beta" or 2 "alpha"; two empty strings when the channel is
    // missing from versions or the number is none of these.
    static QPair<QString, QString> versionForChannel(const UpdateVersions &versions, int channel);

signals:
    void update_available(const UpdateVersions &versions);

public slots:
    // The answer's body; empty when the download failed.
    void on_updateCheckAvailable(const QByteArray &data);

private:
    QPointer<HTTPDownloader> m_downloader; // null once the downloader has deleted itself
};
