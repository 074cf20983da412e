#pragma once

#include <QFileInfo>

// Present as an entry of its directory, also when it is a symbolic link that points nowhere
// (QFileInfo::exists() follows links, so a dangling one would look absent).
inline bool entryExists(const QFileInfo &info)
{
    return info.exists() || info.isSymLink();
}
