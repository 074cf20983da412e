#pragma once

#include "slowfileopspecification.h"

// Unpacks an LZMA container file (source) to a plain file (target) on the thread pool.
class FileUnpackTaskSpecification_lzma2 : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList *rollback, const QString &source, const QString &target,
                                      QObject *parent, qreal weight);

protected:
    ASyncFunc *createFunc() override;
};

class FileUnpackFunc_lzma2 : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileUnpackFunc_lzma2(const QString &source, const QString &target);

    bool run() override;

    // Decodes the container into a temporary file beside target and moves it over target only on
    // success. On failure target is as it was and no partial output is left.
    static bool unpackFile(const QString &source, const QString &target);
};
