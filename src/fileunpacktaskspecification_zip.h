#pragma once

#include "slowfileopspecification.h"

// Unpacks a gzip stream (source) to a plain file (target) on the thread pool. Data that is not gzip
// is copied unchanged, as zlib reads it transparently.
class FileUnpackTaskSpecification_zip : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileUnpackTaskSpecification_zip(RollbackDataList *rollback, const QString &source, const QString &target,
                                    QObject *parent, qreal weight);

protected:
    ASyncFunc *createFunc() override;
};

class FileUnpackFunc_Zip : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileUnpackFunc_Zip(const QString &source, const QString &target, qint64 maxOutputSize = -1);

    bool run() override;

    // Decodes source into a temporary file beside target and moves it over target only when the
    // whole stream decoded cleanly. On failure target is as it was and no partial output is left.
    // More than maxOutputSize bytes of output (when not -1) fail the same way, as soon as they are decoded.
    // Note the order: the output path comes first.
    static bool unpackFile(const QString &target, const QString &source, qint64 maxOutputSize = -1);

private:
    qint64 m_maxOutputSize;
};
