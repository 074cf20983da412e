#include "filedigest.h"

#include "filedescriptor.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QRunnable>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <atomic>
#include <deque>
#include <memory>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
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
    Stream(Algorithm algorithm, const QString &outputPath, bool hash)
        : outputPath(QFile::encodeName(outputPath))
        , hash(hash)
        , hasher(algorithm)
    {
    }

    int failure() const { return createError.load() ? createError.load() : writeError.load(); }

    // Creates the output on first use; false when there is none to write to. Callers hold workLock.
    bool ensureOutput()
    {
        if (outputPath.isEmpty() || failure() != 0)
            return false;
        if (created)
            return true;
        {
            QMutexLocker lock(&queueLock);
            if (dropped)
                return false; // the owner has moved on: it must find nothing created after it did
        }
        output.reset(::open(outputPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (output.get() < 0) {
            createError.store(errno ? errno : EIO);
            drop();
            return false;
        }
        created = true;
        return true;
    }

    // Writes and hashes the oldest queued piece; false when none is left. Callers hold workLock: a piece is
    // taken off the queue and handled in one go, so nobody can handle a later piece before it.
    bool handleOne()
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
        handle(piece);
        return true;
    }

    // Callers hold workLock.
    void handle(const QByteArray &piece)
    {
        if (!outputPath.isEmpty()) {
            if (!ensureOutput())
                return;
            if (!output.writeAll(piece.constData(), size_t(piece.size()))) {
                writeError.store(errno ? errno : EIO);
                drop(); // the file is lost anyway: nothing more to write or hash
                return;
            }
        }
        if (hash)
            hasher.addData(piece.constData(), piece.size());
    }

    // Callers hold workLock.
    void handleAll()
    {
        while (handleOne()) {
        }
    }

    // Callers hold workLock.
    StreamResult finish()
    {
        ensureOutput(); // an empty body still makes a file
        handleAll();
        if (output.get() >= 0 && !output.close() && failure() == 0)
            writeError.store(errno ? errno : EIO);
        StreamResult result;
        result.createError = createError.load();
        result.writeError = writeError.load();
        if (hash)
            result.hexDigest = hasher.hexResult();
        return result;
    }

    // Callers hold workLock.
    void removeOutput()
    {
        if (output.get() >= 0)
            output.close();
        if (created)
            ::unlink(outputPath.constData());
        created = false;
    }

    // The owner has moved on: a pool thread finds nothing more to do.
    void drop()
    {
        QMutexLocker lock(&queueLock);
        dropped = true;
        queue.clear();
        queuedBytes = 0;
    }

    QMutex queueLock; // guards queue, queuedBytes, workerQueued and dropped
    std::deque<QByteArray> queue;
    qint64 queuedBytes = 0;
    bool workerQueued = false;
    bool dropped = false;
    QMutex workLock; // held by whoever creates or writes the output or feeds hasher; guards created
    const QByteArray outputPath;
    FileDescriptor output {-1};
    bool created = false;
    const bool hash;
    Hasher hasher;
    std::atomic<int> createError {0};
    std::atomic<int> writeError {0};
};

PipelinedHasher::PipelinedHasher(Algorithm algorithm)
    : m_algorithm(algorithm)
    , m_stream(std::make_shared<Stream>(algorithm, QString(), true))
{
}

PipelinedHasher::~PipelinedHasher()
{
    m_stream->drop();
}

void PipelinedHasher::reset()
{
    m_stream->drop();
    m_stream = std::make_shared<Stream>(m_algorithm, QString(), true);
}

void PipelinedHasher::start(const QString &outputPath, bool hash)
{
    m_stream->drop();
    m_stream = std::make_shared<Stream>(m_algorithm, outputPath, hash);
    // The worker creates the file right away, while the caller goes on (with a request, say).
    QMutexLocker lock(&m_stream->queueLock);
    startWorker();
}

void PipelinedHasher::discard()
{
    const std::shared_ptr<Stream> old = m_stream;
    reset();
    QMutexLocker working(&old->workLock);
    old->removeOutput();
}

void PipelinedHasher::startWorker()
{
    if (m_stream->workerQueued)
        return;
    m_stream->workerQueued = true;
    const std::shared_ptr<Stream> stream = m_stream;
    QThreadPool::globalInstance()->start(QRunnable::create([stream] {
        {
            QMutexLocker lock(&stream->queueLock);
            stream->workerQueued = false;
        }
        // The lock is taken per piece, so a caller that catches up waits for one piece at most.
        {
            QMutexLocker working(&stream->workLock);
            stream->ensureOutput();
        }
        for (;;) {
            QMutexLocker working(&stream->workLock);
            if (!stream->handleOne())
                return;
        }
    }));
}

void PipelinedHasher::addData(const QByteArray &piece)
{
    if (piece.isEmpty() || m_stream->failure() != 0)
        return;
    {
        QMutexLocker lock(&m_stream->queueLock);
        if (m_stream->queuedBytes + piece.size() <= kMaxBacklog) {
            m_stream->queue.push_back(piece);
            m_stream->queuedBytes += piece.size();
            startWorker();
            return;
        }
    }
    // The pool thread is behind: catch up here, in order.
    QMutexLocker working(&m_stream->workLock);
    m_stream->handleAll();
    if (m_stream->failure() == 0)
        m_stream->handle(piece);
}

int PipelinedHasher::createError() const
{
    return m_stream->createError.load();
}

int PipelinedHasher::writeError() const
{
    return m_stream->writeError.load();
}

QFuture<StreamResult> PipelinedHasher::finishLater()
{
    const std::shared_ptr<Stream> stream = m_stream;
    return QtConcurrent::run(QThreadPool::globalInstance(), [stream] {
        QMutexLocker working(&stream->workLock);
        return stream->finish();
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

void initialize()
{
    static const bool done = [] {
        OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
        // The first digest of each kind fetches its implementation: done here, not on a pool thread.
        for (const Algorithm algorithm : {Algorithm::Sha512, Algorithm::Sha1}) {
            Hasher hasher(algorithm);
            hasher.addData("", 0);
            hasher.result();
        }
        return true;
    }();
    Q_UNUSED(done)
}

bool sameDigest(const QString &hex, const QByteArray &digest)
{
    return !digest.isEmpty() && hex.compare(QString::fromLatin1(digest.toHex()), Qt::CaseInsensitive) == 0;
}

} // namespace filedigest
