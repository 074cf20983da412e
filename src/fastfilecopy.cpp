#include "fastfilecopy.h"

#include "filedescriptor.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kBufferSize = 1 << 20;
// The most one copy_file_range call is asked for: large enough that the calls cost nothing, small enough
// that no file system clamps it oddly.
constexpr size_t kKernelPiece = size_t(1) << 30;

bool errorMeansNoKernelCopy(int error)
{
    return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP;
}

// Copies up to length bytes in the kernel. Leaves *done at what was copied; false on an error that a
// read-and-write copy would meet as well. Stops early (true) when the kernel cannot copy between the two
// or the source ends sooner than its size said (it shrank): the caller reads on from there.
bool copyInKernel(int in, int out, off_t length, off_t *done)
{
    while (*done < length) {
        const off_t left = length - *done;
        const ssize_t n = copy_file_range(in, nullptr, out, nullptr,
                                          left < off_t(kKernelPiece) ? size_t(left) : kKernelPiece, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return *done == 0 && errorMeansNoKernelCopy(errno);
        if (n == 0)
            return true;
        *done += n;
    }
    return true;
}

// Reads from the current offsets until the source ends.
bool copyByReading(const FileDescriptor &in, const FileDescriptor &out)
{
    // After the kernel's copy this first read normally finds the end at once: no large buffer for that.
    char first[4096];
    ssize_t n = in.read(first, sizeof first);
    if (n <= 0)
        return n == 0;
    if (!out.writeAll(first, size_t(n)))
        return false;
    const std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    while ((n = in.read(buffer.get(), kBufferSize)) > 0) {
        if (!out.writeAll(buffer.get(), size_t(n)))
            return false;
    }
    return n == 0;
}

// Gives the new file exactly the source's permission bits, which the process's umask may have cut.
bool takeMode(int fd, mode_t mode)
{
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_mode & 0777) == mode)
        return true;
    return fchmod(fd, mode) == 0;
}

} // namespace

namespace FastFileCopy {

bool copyFile(const QString &source, const QString &target)
{
    const QByteArray targetName = QFile::encodeName(target);
    FileDescriptor in(::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (in.get() < 0 || fstat(in.get(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    // O_EXCL: never an existing file, and never through a link planted at the name.
    const mode_t mode = st.st_mode & 0777;
    FileDescriptor out(::open(targetName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (out.get() < 0)
        return false;
    off_t copied = 0;
    // After the kernel's copy, reading on finds the end (or what the size did not show) in one more call.
    bool ok = !S_ISREG(st.st_mode) || copyInKernel(in.get(), out.get(), st.st_size, &copied);
    ok = ok && copyByReading(in, out);
    ok = ok && takeMode(out.get(), mode);
    ok = out.close() && ok;
    if (!ok)
        ::unlink(targetName.constData());
    return ok;
}

bool linkOrCopyFile(const QString &source, const QString &target)
{
    const QByteArray sourceName = QFile::encodeName(source);
    const QByteArray targetName = QFile::encodeName(target);
    struct stat st;
    if (lstat(sourceName.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return copyFile(source, target);
    // linkat() without AT_SYMLINK_FOLLOW links the name itself and, like O_EXCL, never replaces a name.
    if (::linkat(AT_FDCWD, sourceName.constData(), AT_FDCWD, targetName.constData(), 0) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    return copyFile(source, target);
}

} // namespace FastFileCopy
