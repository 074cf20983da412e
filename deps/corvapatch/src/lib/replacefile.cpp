#include "replacefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>

namespace corvapatch {

namespace {

// Attempts at a free temporary name before giving up; a clash of random 64-bit names means someone is racing us.
constexpr int kNameAttempts = 32;
// The target's name is cut so that the prefix and suffix cannot push a long name past the file system's limit.
constexpr size_t kNameStemLength = 60;

std::string Base36(uint64_t value)
{
    const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % 36]);
        value /= 36;
    } while (value != 0);
    return text;
}

// Creates a fresh file for writing beside target; -1 when none could be made.
int CreateTemporaryBeside(const std::string &target, std::string *temporary)
{
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.empty() || name == "." || name == "..")
        return -1;
    std::random_device seed;
    std::mt19937_64 random((uint64_t(seed()) << 32) ^ seed());
    const std::string stem = dir + "." + name.substr(0, kNameStemLength) + ".part-";
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string candidate = stem + Base36(random());
        const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            *temporary = candidate;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// One write of tens of megabytes can cost the kernel many times what the same bytes cost in pieces (seen on
// ext4: 0.2 s against 6 ms for 22 MB), so large outputs go out a piece at a time.
constexpr size_t kWritePiece = size_t(1) << 20;

bool WriteAll(int fd, const uint8_t *data, size_t n)
{
    while (n > 0) {
        const ssize_t written = write(fd, data, n < kWritePiece ? n : kWritePiece);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        n -= static_cast<size_t>(written);
    }
    return true;
}

} // namespace

bool ReplaceFile(const char *path, const uint8_t *data, size_t n)
{
    FileReplacement replacement(path);
    // Not flushed to disk: a killed process loses nothing already written, every file the engine makes is
    // checked against its digest before it is installed, and the installation is flushed as a whole when it is
    // committed. A flush here cost as much as the rest of writing the file.
    return replacement.IsOpen() && replacement.Write(data, n) && replacement.Commit(false);
}

FileReplacement::FileReplacement(const char *path)
    : m_path(path)
{
    m_fd = CreateTemporaryBeside(m_path, &m_temporary);
}

FileReplacement::~FileReplacement()
{
    Discard();
}

bool FileReplacement::Write(const uint8_t *data, size_t n)
{
    m_failed = m_failed || m_fd < 0 || !WriteAll(m_fd, data, n);
    return !m_failed;
}

bool FileReplacement::Commit(bool flushToDisk)
{
    if (m_fd < 0 || m_failed) {
        Discard();
        return false;
    }
    bool ok = true;
    // The replaced file was written in place before, so its mode carried over; keep it for the new bytes.
    struct stat earlier;
    if (lstat(m_path.c_str(), &earlier) == 0 && S_ISREG(earlier.st_mode))
        ok = fchmod(m_fd, earlier.st_mode & 0777) == 0;
    // On disk before the rename, so a crash right after it cannot leave the name holding a truncated file.
    ok = ok && (!flushToDisk || fsync(m_fd) == 0);
    ok = close(m_fd) == 0 && ok;
    m_fd = -1;
    ok = ok && std::rename(m_temporary.c_str(), m_path.c_str()) == 0;
    if (ok)
        m_temporary.clear();
    else
        Discard();
    return ok;
}

void FileReplacement::Discard()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    if (!m_temporary.empty())
        unlink(m_temporary.c_str());
    m_temporary.clear();
}

} // namespace corvapatch
