#pragma once

#include "composedtaskspecification.h"
#include "updatedata.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class QNetworkAccessManager;

// One listed file: its download from the server (section/name below the target version), checked against the
// entry's SHA-512 while it arrives. The check is binding: a body that does not match is never put under the
// final name and, once its attempts are used up, the task ends cancelled. A line without a SHA-512 fetches the
// file's ".sig" first and checks the signature after the download; a file that fails it is removed with its
// ".sig", so it is neither installed nor kept for a later run.
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
