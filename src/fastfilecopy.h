#pragma once

#include <QString>

// Copying a file's bytes at disk speed into a name that nothing uses yet.
namespace FastFileCopy {

// Copies source's bytes into a new file at target with source's permission bits. The target is created
// exclusively: an existing name, a link (even a dangling one) included, fails the copy and is left as it
// is. The kernel copies the bytes (copy_file_range) where it can; a source that is not a regular file and
// file systems that cannot are read and written in 1 MiB pieces. On failure nothing is left at target.
bool copyFile(const QString &source, const QString &target);

// Gives target source's bytes as copyFile() does, but where both lie on one file system as a second name of
// the same file (a hard link): no byte is copied. Only for a source that nothing writes to any more, since
// both names then see every later change. A source that is not a regular file (a link among them), or a
// file system without hard links, gets copyFile(). An existing name at target fails either way.
bool linkOrCopyFile(const QString &source, const QString &target);

} // namespace FastFileCopy
