#pragma once

#include <QString>

// Copying a file's bytes at disk speed into a name that nothing uses yet.
namespace FastFileCopy {

// Copies source's bytes into a new file at target with source's permission bits. The target is created
// exclusively: an existing name, a link (even a dangling one) included, fails the copy and is left as it
// is. The kernel copies the bytes (copy_file_range) where it can; a source that is not a regular file and
// file systems that cannot are read and written in 1 MiB pieces. On failure nothing is left at target.
bool copyFile(const QString &source, const QString &target);

} // namespace FastFileCopy
