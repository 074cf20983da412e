#include "fastfilecopy.h"

#include "support/filesizelimit.h"
#include "support/sandbox.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>
#include <thread>

namespace {

// Bytes that repeat nowhere within a few MiB, so a piece copied twice or skipped shows.
QByteArray patterned(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = seed;
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = char(x >> 24);
    }
    return data;
}

mode_t modeOf(const QString &path)
{
    struct stat st;
    return lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A file of size bytes that holds data only at its start and at offset; the rest are holes.
void writeSparse(const QString &path, off_t offset, off_t size)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
    ASSERT_EQ(pwrite(fd, "middle", 6, offset), 6);
    ASSERT_EQ(ftruncate(fd, size), 0);
    ::close(fd);
}

} // namespace

TEST(FastFileCopy, CopiesEveryByteAndThePermissionBits)
{
    struct Case
    {
        const char *name;
        QByteArray data;
        mode_t mode;
    };
    const Case cases[] = {
        {"empty file", QByteArray(), 0644},
        {"one byte", QByteArray("x"), 0600},
        {"above the read buffer, not a multiple of it", patterned(3 * 1024 * 1024 + 12345, 7), 0755},
        {"odd mode bits", QByteArray("mode"), 0741},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        ASSERT_TRUE(Sandbox::writeFile(box.path("source"), c.data));
        ASSERT_EQ(chmod(QFile::encodeName(box.path("source")).constData(), c.mode), 0);
        ASSERT_TRUE(FastFileCopy::copyFile(box.path("source"), box.path("target")));
        EXPECT_EQ(Sandbox::readFile(box.path("target")), c.data);
        EXPECT_EQ(modeOf(box.path("target")), c.mode);
    }

    // Holes read as zeros, and the size includes a hole at the end.
    Sandbox box;
    writeSparse(box.path("sparse"), 5 * 1024 * 1024 + 7, 9 * 1024 * 1024);
    ASSERT_TRUE(FastFileCopy::copyFile(box.path("sparse"), box.path("copy")));
    EXPECT_EQ(Sandbox::readFile(box.path("copy")), Sandbox::readFile(box.path("sparse")));
    EXPECT_EQ(QFileInfo(box.path("copy")).size(), 9 * 1024 * 1024);
}

// Sources that the kernel cannot copy from are read instead: a pipe, a /proc file whose size says 0, a
// file on another file system.
TEST(FastFileCopy, ReadsWhatTheKernelCannotCopy)
{
    Sandbox box;
    const QByteArray piped = patterned(2 * 1024 * 1024 + 3, 11);
    ASSERT_EQ(mkfifo(QFile::encodeName(box.path("fifo")).constData(), 0640), 0);
    std::thread writer([&] {
        QFile fifo(box.path("fifo"));
        if (fifo.open(QIODevice::WriteOnly))
            fifo.write(piped);
    });
    const bool fromPipe = FastFileCopy::copyFile(box.path("fifo"), box.path("from pipe"));
    writer.join();
    ASSERT_TRUE(fromPipe);
    EXPECT_EQ(Sandbox::readFile(box.path("from pipe")), piped);
    EXPECT_EQ(modeOf(box.path("from pipe")), 0640u);

    const QString proc = QStringLiteral("/proc/self/cmdline");
    ASSERT_EQ(QFileInfo(proc).size(), 0);
    ASSERT_TRUE(FastFileCopy::copyFile(proc, box.path("from proc")));
    const QByteArray cmdline = Sandbox::readFile(proc);
    EXPECT_FALSE(cmdline.isEmpty());
    EXPECT_EQ(Sandbox::readFile(box.path("from proc")), cmdline);

    // /dev/shm is tmpfs, the sandbox usually not: the kernel refuses to copy across.
    if (QFileInfo(QStringLiteral("/dev/shm")).isDir()) {
        const QString shm = QStringLiteral("/dev/shm/fastfilecopy-%1").arg(getpid());
        const QByteArray data = patterned(1024 * 1024 + 1, 13);
        ASSERT_TRUE(Sandbox::writeFile(shm, data));
        const bool fromShm = FastFileCopy::copyFile(shm, box.path("from shm"));
        QFile::remove(shm);
        ASSERT_TRUE(fromShm);
        EXPECT_EQ(Sandbox::readFile(box.path("from shm")), data);
    }
}

// Whatever is at the target name stays as it is, and a link there is not followed.
TEST(FastFileCopy, NeverWritesThroughAnExistingName)
{
    Sandbox box;
    ASSERT_TRUE(Sandbox::writeFile(box.path("dir/source"), "new bytes"));
    ASSERT_TRUE(Sandbox::writeFile(box.path("dir/existing"), "keep me"));
    ASSERT_TRUE(Sandbox::writeFile(box.path("elsewhere/linked"), "link target"));
    ASSERT_TRUE(QFile::link(box.path("elsewhere/linked"), box.path("dir/link")));
    ASSERT_TRUE(QFile::link(box.path("elsewhere/absent"), box.path("dir/dangling")));
    ASSERT_TRUE(QDir().mkpath(box.path("dir/subdir")));
    const TreeSnapshot before = snapshotTree(box.root());
    for (const char *target : {"dir/existing", "dir/link", "dir/dangling", "dir/subdir"}) {
        SCOPED_TRACE(target);
        EXPECT_FALSE(FastFileCopy::copyFile(box.path("dir/source"), box.path(target)));
        EXPECT_EQ(snapshotTree(box.root()), before);
    }
}

TEST(FastFileCopy, FailsLeavingNothingAtTheTarget)
{
    Sandbox box;
    const QString work = box.path("work");
    ASSERT_TRUE(Sandbox::writeFile(work + "/big", patterned(3 * 1024 * 1024, 5)));
    ASSERT_TRUE(Sandbox::writeFile(work + "/file", "x"));
    const TreeSnapshot before = snapshotTree(work);
    struct Case
    {
        const char *name;
        const char *source;
        const char *target;
    };
    const Case cases[] = {
        {"source is a directory", "", "copy"},
        {"missing source", "missing", "copy"},
        {"missing target directory", "file", "nowhere/copy"},
        {"file where the target directory should be", "big", "file/copy"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(FastFileCopy::copyFile(work + "/" + c.source, work + "/" + c.target));
        EXPECT_EQ(snapshotTree(work), before);
    }

    // A write that fails midway, in the kernel's copy and in the read-and-write copy (from a pipe, kept
    // outside the compared tree: reading it there would block).
    const QByteArray piped = patterned(3 * 1024 * 1024, 9);
    ASSERT_EQ(mkfifo(QFile::encodeName(box.path("fifo")).constData(), 0644), 0);
    const auto savedPipeHandler = std::signal(SIGPIPE, SIG_IGN); // the writer outlives the reader
    {
        FileSizeLimit limit(1024 * 1024);
        ASSERT_TRUE(limit.active());
        EXPECT_FALSE(FastFileCopy::copyFile(work + "/big", work + "/copy"));
        EXPECT_EQ(snapshotTree(work), before);
        std::thread writer([&] {
            QFile fifo(box.path("fifo"));
            if (fifo.open(QIODevice::WriteOnly))
                fifo.write(piped);
        });
        EXPECT_FALSE(FastFileCopy::copyFile(box.path("fifo"), work + "/copy"));
        writer.join();
        EXPECT_EQ(snapshotTree(work), before);
    }
    std::signal(SIGPIPE, savedPipeHandler);
}

namespace {

ino_t inodeOf(const QString &path)
{
    struct stat st;
    return lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

// On one file system the target is the same file under a second name; what cannot be linked is copied, and
// an existing name stays as it is either way.
TEST(FastFileCopy, LinksWhereItCanAndCopiesElsewhere)
{
    Sandbox box;
    const QByteArray data = patterned(64 * 1024 + 5, 17);
    ASSERT_TRUE(Sandbox::writeFile(box.path("dir/source"), data));
    ASSERT_EQ(chmod(QFile::encodeName(box.path("dir/source")).constData(), 0640), 0);
    ASSERT_TRUE(FastFileCopy::linkOrCopyFile(box.path("dir/source"), box.path("dir/linked")));
    EXPECT_EQ(inodeOf(box.path("dir/linked")), inodeOf(box.path("dir/source")));
    EXPECT_EQ(Sandbox::readFile(box.path("dir/linked")), data);
    EXPECT_EQ(modeOf(box.path("dir/linked")), 0640u);

    // A link as the source: the bytes it leads to land in a regular file, never a second link.
    ASSERT_TRUE(QFile::link(box.path("dir/source"), box.path("dir/symlink")));
    ASSERT_TRUE(FastFileCopy::linkOrCopyFile(box.path("dir/symlink"), box.path("dir/from link")));
    EXPECT_FALSE(QFileInfo(box.path("dir/from link")).isSymLink());
    EXPECT_NE(inodeOf(box.path("dir/from link")), inodeOf(box.path("dir/source")));
    EXPECT_EQ(Sandbox::readFile(box.path("dir/from link")), data);

    ASSERT_TRUE(Sandbox::writeFile(box.path("dir/existing"), "keep me"));
    const TreeSnapshot before = snapshotTree(box.root());
    EXPECT_FALSE(FastFileCopy::linkOrCopyFile(box.path("dir/source"), box.path("dir/existing")));
    EXPECT_FALSE(FastFileCopy::linkOrCopyFile(box.path("dir/source"), box.path("dir/missing/target")));
    EXPECT_EQ(snapshotTree(box.root()), before);

    // /dev/shm is tmpfs, the sandbox usually not: across file systems the bytes are copied.
    const QString shm = QStringLiteral("/dev/shm/fastfilecopy-link-%1").arg(getpid());
    if (QFileInfo(QStringLiteral("/dev/shm")).isDir() && Sandbox::writeFile(shm, data)) {
        const bool copied = FastFileCopy::linkOrCopyFile(shm, box.path("from shm"));
        QFile::remove(shm);
        ASSERT_TRUE(copied);
        EXPECT_EQ(Sandbox::readFile(box.path("from shm")), data);
    }
}
