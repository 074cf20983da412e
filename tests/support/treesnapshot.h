#pragma once

#include <QByteArray>
#include <QString>

#include <map>
#include <ostream>

// One entry of a directory tree, as the file system holds it.
struct TreeEntry
{
    enum Type { File, Dir, SymLink };

    Type type = File;
    QByteArray content; // a file's bytes, a link's target; empty for a directory
    unsigned mode = 0; // the permission bits (07777) of the entry itself, never of what a link points to

    bool operator==(const TreeEntry &other) const
    {
        return type == other.type && content == other.content && mode == other.mode;
    }
    bool operator!=(const TreeEntry &other) const { return !(*this == other); }
};

// Everything below a directory, by path relative to it ("dir/file"); the directory itself is not listed.
// Links are recorded as links and never followed. Compare two snapshots with EXPECT_EQ to see that a
// tree is exactly as it was.
using TreeSnapshot = std::map<QString, TreeEntry>;

TreeSnapshot snapshotTree(const QString &root);

void PrintTo(const TreeEntry &entry, std::ostream *os);
