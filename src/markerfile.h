#pragma once

#include <QString>

// Empty marker files in a directory that other local users share (the system's temporary directory).
namespace MarkerFile {

// Makes path an empty file of this user, mode 0644. The file is created new under a hidden name beside it
// (O_EXCL) and renamed over path, so an existing entry is replaced, never opened: nothing is written through a
// link, and nothing is truncated in place. An entry that belongs to another user, or a directory, stays and
// the call fails.
bool write(const QString &path);
// Removes path (a link itself, never what it points to) when it is an entry of this user and no directory.
bool remove(const QString &path);

} // namespace MarkerFile
