#pragma once

#include "slowfileopspecification.h"

// Unpacks an LZMA container file (source) to a plain file (target) on the thread pool.
class FileUnpackTaskSpecification_lzma2 : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList *rollback, const QString &source, const QString &target,
                                      QObject *parent, qreal weight);

    // Only the plain form of the container is taken (for a file that never holds an executable).
    void setPlainOnly(bool plainOnly) { m_plainOnly = plainOnly; }

protected:
    ASyncFunc *createFunc() override;

private:
    bool m_plainOnly = false;
};

class FileUnpackFunc_lzma2 : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileUnpackFunc_lzma2(const QString &source, const QString &target, qint64 maxOutputSize = -1,
                         bool plainOnly = false);

    bool run() override;

    // Decodes the container into a temporary file beside target and moves it over target only on
    // success. On failure target is as it was and no partial output is left. Content larger than
    // maxOutputSize (when not -1) fails before it is decoded. plainOnly refuses the executable form.
    static bool unpackFile(const QString &source, const QString &target, qint64 maxOutputSize = -1,
                           bool plainOnly = false);

private:
    qint64 m_maxOutputSize;
    bool m_plainOnly;
};
