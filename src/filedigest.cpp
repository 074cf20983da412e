#include "filedigest.h"

#include "filedescriptor.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QRunnable>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <deque>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

namespace filedigest {

Hasher::Hasher(Algorithm algorithm)
    : m_algorithm(algorithm)
    , m_context(EVP_MD_CTX_new())
{
    reset();
}

Hasher::~Hasher()
{
    EVP_MD_CTX_free(m_context);
}

void Hasher::reset()
{
    const EVP_MD *md = m_algorithm == Algorithm::Sha512 ? EVP_sha512() : EVP_sha1();
    m_failed = m_context == nullptr || EVP_DigestInit_ex(m_context, md, nullptr) != 1;
}

void Hasher::addData(const char *data, qint64 length)
{
    if (m_failed || length <= 0)
        return;
    m_failed = EVP_DigestUpdate(m_context, data, size_t(length)) != 1;
}

QByteArray Hasher::result()
{
    if (m_failed)
        return QByteArray();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool done = EVP_DigestFinal_ex(m_context, out, &length) == 1;
    m_failed = true; // the state is spent until reset()
    return done ? QByteArray(reinterpret_cast<const char *>(out), int(length)) : QByteArray();
}

QString Hasher::hexResult()
{
    return QString::fromLatin1(result().toHex());
}

// One stream of a PipelinedHasher, shared with the pool thread that works on it.
struct PipelinedHasher::Stream
{
    explicit Stream(Algorithm algorithm)
        : hasher(algorithm)
    {
    }

    // Hashes the oldest queued piece; false when none is left. Callers hold hashLock: a piece is taken off the
    // queue and hashed in one go, so nobody can hash a later piece before it.
    bool hashOne()
    {
        QByteArray piece;
        {
            QMutexLocker lock(&queueLock);
            if (queue.empty())
                return false;
            piece = std::move(queue.front());
            queue.pop_front();
            queuedBytes -= piece.size();
        }
        hasher.addData(piece.constData(), piece.size());
        return true;
    }

    // The owner has moved on: a pool thread finds nothing more to do.
    void drop()
    {
        QMutexLocker lock(&queueLock);
        queue.clear();
        queuedBytes = 0;
    }

    QMutex queueLock; // guards queue, queuedBytes and workerQueued
    std::deque<QByteArray> queue;
    qint64 queuedBytes = 0;
    bool workerQueued = false;
    QMutex hashLock; // held by whoever feeds hasher
    Hasher hasher;
};

PipelinedHasher::PipelinedHasher(Algorithm algorithm)
    : m_algorithm(algorithm)
    , m_stream(std::make_shared<Stream>(algorithm))
{
}

PipelinedHasher::~PipelinedHasher()
{
    m_stream->drop();
}

void PipelinedHasher::reset()
{
    m_stream->drop();
    m_stream = std::make_shared<Stream>(m_algorithm);
}

void PipelinedHasher::addData(const QByteArray &piece)
{
    if (piece.isEmpty())
        return;
    {
        QMutexLocker lock(&m_stream->queueLock);
        if (m_stream->queuedBytes + piece.size() <= kMaxBacklog) {
            m_stream->queue.push_back(piece);
            m_stream->queuedBytes += piece.size();
            if (!m_stream->workerQueued) {
                m_stream->workerQueued = true;
                const std::shared_ptr<Stream> stream = m_stream;
                QThreadPool::globalInstance()->start(QRunnable::create([stream] {
                    {
                        QMutexLocker lock(&stream->queueLock);
                        stream->workerQueued = false;
                    }
                    // The lock is taken per piece, so a caller that catches up waits for one piece at most.
                    for (;;) {
                        QMutexLocker hashing(&stream->hashLock);
                        if (!stream->hashOne())
                            return;
                    }
                }));
            }
            return;
        }
    }
    // The pool thread is behind: catch up here, in order.
    QMutexLocker hashing(&m_stream->hashLock);
    while (m_stream->hashOne()) {
    }
    m_stream->hasher.addData(piece.constData(), piece.size());
}

QString PipelinedHasher::hexResult()
{
    QMutexLocker hashing(&m_stream->hashLock);
    while (m_stream->hashOne()) {
    }
    return m_stream->hasher.hexResult();
}

QFuture<QString> PipelinedHasher::hexResultLater()
{
    const std::shared_ptr<Stream> stream = m_stream;
    return QtConcurrent::run(QThreadPool::globalInstance(), [stream] {
        QMutexLocker hashing(&stream->hashLock);
        while (stream->hashOne()) {
        }
        return stream->hasher.hexResult();
    });
}

FileStatus hashFile(const QString &path, Algorithm algorithm, QByteArray &digest)
{
    digest.clear();
    const FileDescriptor file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        return FileStatus::CannotOpen;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return FileStatus::CannotRead;
    // A directory opens for reading but is no file to check.
    if (S_ISDIR(info.st_mode))
        return FileStatus::CannotOpen;
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    const std::unique_ptr<char[]> buffer(new char[kReadSize]);
    Hasher hasher(algorithm);
    qint64 total = 0;
    for (;;) {
        const ssize_t count = file.read(buffer.get(), size_t(kReadSize));
        if (count < 0)
            return FileStatus::CannotRead;
        if (count == 0)
            break;
        hasher.addData(buffer.get(), count);
        total += count;
    }
    if (total < qint64(info.st_size))
        return FileStatus::CannotRead;
    digest = hasher.result();
    return FileStatus::Done;
}

bool sameDigest(const QString &hex, const QByteArray &digest)
{
    return !digest.isEmpty() && hex.compare(QString::fromLatin1(digest.toHex()), Qt::CaseInsensitive) == 0;
}

} // namespace filedigest
