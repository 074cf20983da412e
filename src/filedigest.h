#pragma once

#include <QByteArray>
#include <QFuture>
#include <QString>

#include <memory>

struct evp_md_ctx_st;

// SHA-512 and SHA-1 of files and byte streams on OpenSSL's libcrypto, whose assembler block functions run
// about twice as fast here as libtomcrypt's portable ones (benchmarks/file_check.sh). Files are read in large
// sequential pieces into one fixed buffer, so a file of any size costs the same memory.
namespace filedigest {

enum class Algorithm { Sha512, Sha1 };

// The size of one read(2) of hashFile().
constexpr qint64 kReadSize = 1024 * 1024;

// The digest of a stream fed piece by piece. Not shared between threads.
class Hasher
{
public:
    explicit Hasher(Algorithm algorithm = Algorithm::Sha512);
    ~Hasher();
    Hasher(const Hasher &) = delete;
    Hasher &operator=(const Hasher &) = delete;

    // Starts a new stream.
    void reset();
    void addData(const char *data, qint64 length);
    // The raw digest of everything added since the last reset(); empty when the library refused a call, so
    // that no comparison can match. Ends the stream: add nothing more before the next reset().
    QByteArray result();
    // result() as lower-case hex.
    QString hexResult();

private:
    Algorithm m_algorithm;
    evp_md_ctx_st *m_context;
    bool m_failed = false;
};

// What a PipelinedHasher's stream came to once all of it was written and hashed.
struct StreamResult
{
    QString hexDigest; // as Hasher::hexResult(); empty when the stream was not hashed
    int createError = 0; // errno of the output file's creation; 0: created (or no output)
    int writeError = 0; // errno of the first failed write to the output, or of its close; 0: all written
};

// A Hasher whose pieces are written to the stream's output file, if it has one, and hashed, on a pool thread of
// the global pool, in the order given, while the caller goes on receiving. The output file is created there
// too, as soon as the stream starts: creating a file costs the file system more than writing a small one.
// At most kMaxBacklog bytes wait for that thread; a piece beyond that is handled by the caller itself, after
// those queued before it. Used from one thread; reset() and destruction never wait for the pool thread, which
// finishes with the piece it has, closes that stream's output and lets it go.
class PipelinedHasher
{
public:
    static constexpr qint64 kMaxBacklog = 2 * 1024 * 1024;

    explicit PipelinedHasher(Algorithm algorithm = Algorithm::Sha512);
    ~PipelinedHasher();
    PipelinedHasher(const PipelinedHasher &) = delete;
    PipelinedHasher &operator=(const PipelinedHasher &) = delete;

    // Starts a new stream without an output; the pieces of the old one still waiting are dropped, and a file
    // it created stays.
    void reset();
    // The same, then the new stream creates a new file at outputPath (exclusively: an existing name fails)
    // and writes every piece there. hash false: only written, no digest.
    void start(const QString &outputPath, bool hash);
    // Ends the stream as reset() does, but removes the file it created; waits for the piece or the creation
    // under way on the pool thread, so that nothing is created or written after it returns.
    void discard();
    // Takes a share of piece (QByteArray is shared on copy): the caller must not change it afterwards.
    void addData(const QByteArray &piece);
    // The errno of the output's creation, or of a write to it, that failed; 0 while none has. After a failure
    // the rest of the stream is dropped, not written.
    int createError() const;
    int writeError() const;
    // Handles what is still queued on a pool thread, so that the caller is not held up, then closes the
    // output. The stream ends here: the next piece belongs to a new stream after reset() or start().
    QFuture<StreamResult> finishLater();

private:
    struct Stream;

    void startWorker(); // callers hold the stream's queueLock

    Algorithm m_algorithm;
    std::shared_ptr<Stream> m_stream;
};

enum class FileStatus { Done, CannotOpen, CannotRead };

// Hashes the whole file at path into digest (raw bytes). CannotOpen for a missing file or a directory;
// CannotRead for a read error, or a file that ends before the size it had when opened.
FileStatus hashFile(const QString &path, Algorithm algorithm, QByteArray &digest);

// Sets up the crypto library on the calling thread, once per process. Loading its configuration gives the
// loading thread per-thread error state, which only that thread's end frees; on a pool thread that end can
// come while exit() already runs the library's clean-up, and the state leaks. Done here, on the main thread
// before any hashing goes to a pool, no pool thread gets such state. Later digests need none.
void initialize();

// True when hex (any case) spells digest.
bool sameDigest(const QString &hex, const QByteArray &digest);

} // namespace filedigest
