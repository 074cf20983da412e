#pragma once

#include "composedtaskspecification.h"

#include <QString>

class CheckSignatureTaskSpecification;
class Configuration;
class QNetworkAccessManager;

// Makes sure the step's product ini and its ".sig" lie in the session directory and that the signature holds,
// fetching only what is missing: the packed ini (then unpacked) and the signature. The sub-tasks run one
// after the other. A failed check cancels the update and removes the ini, its packed form and its ".sig", so
// the next run fetches them afresh instead of failing on the same files for good.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // Neither pointer is owned.
    IniDownloadTaskSpecification(QNetworkAccessManager *manager, Configuration *config, QObject *parent, qreal weight);

    void execute() override;
    // Releases the sub-tasks; the next execute() builds them again from what is then present.
    void reset() override;

    // "cv5_client_linux_x86.ini" in step two, "update_linux_x86.ini" in step one.
    static QString iniName(const Configuration &config);
    static QString packedName(const Configuration &config) { return iniName(config) + "._lzma2_"; }
    static QString signatureName(const Configuration &config) { return iniName(config) + ".sig"; }

public slots:
    void onSigCheckDone(bool ok, CheckSignatureTaskSpecification *task);

protected:
    // A failed check has ended this task already; the check's own end must not end it a second time.
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    QString localPath(const QString &name) const;

    QNetworkAccessManager *m_Manager;
    Configuration *m_Config;
};
