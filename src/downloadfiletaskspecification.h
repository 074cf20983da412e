#pragma once

#include "composedtaskspecification.h"
#include "updatedata.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class QNetworkAccessManager;

// One listed file: its download from the server (section/name below the target version), then a check of the
// fetched file against the entry's SHA-512. With an expected SHA-512 the check is binding: a file that does
// not match is removed and the task ends cancelled, so it is neither installed nor kept for a later run.
// The target is the temporary directory + "/" + name; its directory must exist already.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileTaskSpecification(const DownloadEntry &entry, QNetworkAccessManager *manager, Configuration *config,
                                  QObject *parent, qreal weight);

    void execute() override;
    void reset() override;

public slots:
    void onSigCheckDone(bool ok, CheckSignatureTaskSpecification *task);

private:
    QString localPath() const;

    DownloadEntry m_Entry;
    QNetworkAccessManager *m_Manager;
    Configuration *m_Config;
    DownloadTaskSpecification *m_DownloadTask = nullptr;
};
