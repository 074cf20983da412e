#include "filecopytaskspecification.h"

#include <QDebug>
#include <QFile>

namespace {
constexpr qint64 kChunkSize = 65536;
} // namespace

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList *rollback, const QString &source,
                                                     const QString &target, QObject *parent, qreal weight)
    : SlowFileOpSpecification(tr("Could not copy '%1' to '%2'").arg(source, target), rollback, source,
                              target, parent, weight)
{
}

ASyncFunc *FileCopyTaskSpecification::createFunc()
{
    return new FileCopyFunc(source(), target());
}

FileCopyFunc::FileCopyFunc(const QString &source, const QString &target)
    : SlowFileOpFunc(source, target)
{
}

bool FileCopyFunc::run()
{
    qDebug() << "run" << source() << target();
    // Written straight into the target, which must not exist yet (QFile::copy would leave its own temporary
    // file behind when killed); a failed copy removes what it wrote.
    QFile in(source());
    if (!in.open(QIODevice::ReadOnly))
        return false;
    QFile out(target());
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    QByteArray buffer(kChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(buffer.data(), kChunkSize);
        if (n == 0)
            break;
        if (n < 0 || out.write(buffer.constData(), n) != n) {
            out.remove();
            return false;
        }
    }
    out.setPermissions(in.permissions());
    out.close();
    if (out.error() != QFileDevice::NoError) {
        out.remove();
        return false;
    }
    return true;
}
