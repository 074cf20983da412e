#include "fileunpacktaskspecification_zip.h"

#include <QDebug>
#include <QFile>

#include <zlib.h>

#include <memory>
#include <vector>

namespace {

constexpr int kChunkSize = 16384;

// Closes the stream when the decode leaves early.
struct GzFileCloser
{
    void operator()(gzFile_s *file) const { gzclose(file); }
};

} // namespace

FileUnpackTaskSpecification_zip::FileUnpackTaskSpecification_zip(RollbackDataList *rollback, const QString &source,
                                                                 const QString &target, QObject *parent, qreal weight)
    : SlowFileOpSpecification(tr("Could not unzip '%1' to '%2'").arg(source).arg(target), rollback, source,
                              target, parent, weight)
{
}

ASyncFunc *FileUnpackTaskSpecification_zip::createFunc()
{
    return new FileUnpackFunc_Zip(source(), target(), maxOutputSize());
}

FileUnpackFunc_Zip::FileUnpackFunc_Zip(const QString &source, const QString &target, qint64 maxOutputSize)
    : SlowFileOpFunc(source, target)
    , m_maxOutputSize(maxOutputSize)
{
}

bool FileUnpackFunc_Zip::run()
{
    return unpackFile(target(), source(), m_maxOutputSize);
}

bool FileUnpackFunc_Zip::unpackFile(const QString &target, const QString &source, qint64 maxOutputSize)
{
    // The source is opened first: a missing source must not cost anything at the target.
    std::unique_ptr<gzFile_s, GzFileCloser> in(gzopen(source.toUtf8().constData(), "rb"));
    if (!in || gzrewind(in.get()) != 0) {
        qDebug() << "unpackFile: cannot open" << source;
        return false;
    }
    const QString temporary = temporaryPathBeside(target);
    QFile out(temporary);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        qDebug() << "unpackFile: cannot create" << temporary << out.errorString();
        return false;
    }
    const auto fail = [&out](const char *why) {
        qDebug() << "unpackFile:" << why << out.fileName();
        out.remove();
        return false;
    };

    std::vector<char> buffer(kChunkSize);
    qint64 written = 0;
    for (;;) {
        const int n = gzread(in.get(), buffer.data(), kChunkSize);
        if (n < 0)
            return fail("read error");
        if (n == 0)
            break;
        // A few KiB of gzip can stand for gigabytes: stop at the size the output may have.
        if (maxOutputSize >= 0 && n > maxOutputSize - written)
            return fail("output larger than its listed size");
        written += n;
        if (out.write(buffer.data(), n) != n)
            return fail("write error");
    }
    // A stream cut short ends like a complete one, with 0 from gzread: only the error state tells.
    int status = Z_OK;
    gzerror(in.get(), &status);
    if (status != Z_OK)
        return fail("truncated stream");
    if (gzclose(in.release()) != Z_OK)
        return fail("close error");
    out.close();
    if (out.error() != QFileDevice::NoError)
        return fail("write error");
    if (!moveIntoPlace(temporary, target))
        return fail("cannot replace target");
    return true;
}
