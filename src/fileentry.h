#pragma once

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

// Present as an entry of its directory, also when it is a symbolic link that points nowhere
// (QFileInfo::exists() follows links, so a dangling one would look absent).
inline bool entryExists(const QFileInfo &info)
{
    return info.exists() || info.isSymLink();
}

// A real directory (not a link) of this user's that no one else may enter: nobody but its owner can rename or
// remove what lies in it, so a check of what it holds stays true afterwards.
inline bool isPrivateDirectory(const QString &dir)
{
    struct stat st;
    return !dir.isEmpty() && ::lstat(QFile::encodeName(dir).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}
