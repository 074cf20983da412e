#include "updatedata.h"

void UpdateData::clear()
{
    downloads.clear();
    replacements.clear();
    deletions.clear();
    preInstall.clear();
    postInstall.clear();
}

QString makeEntryPath(const FileReplaceEntry &entry)
{
    return entry.isPacked() ? entry.targetName : entry.name;
}
