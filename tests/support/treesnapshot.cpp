#include "treesnapshot.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void addEntries(const QString &root, const QString &relative, TreeSnapshot &snapshot)
{
    const QDir dir(relative.isEmpty() ? root : root + "/" + relative);
    const QStringList names =
        dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString &name : names) {
        const QString rel = relative.isEmpty() ? name : relative + "/" + name;
        const QString full = root + "/" + rel;
        struct stat st = {};
        if (lstat(QFile::encodeName(full).constData(), &st) != 0)
            continue;
        TreeEntry entry;
        entry.mode = st.st_mode & 07777;
        if (S_ISLNK(st.st_mode)) {
            entry.type = TreeEntry::SymLink;
            // The raw link text: QFile::symLinkTarget() would resolve it to an absolute path.
            QByteArray raw(4096, '\0');
            const ssize_t n = readlink(QFile::encodeName(full).constData(), raw.data(), raw.size());
            if (n >= 0)
                entry.content = raw.left(int(n));
        } else if (S_ISDIR(st.st_mode)) {
            entry.type = TreeEntry::Dir;
        } else {
            entry.type = TreeEntry::File;
            QFile file(full);
            if (file.open(QIODevice::ReadOnly))
                entry.content = file.readAll();
        }
        snapshot[rel] = entry;
        if (entry.type == TreeEntry::Dir)
            addEntries(root, rel, snapshot);
    }
}

} // namespace

TreeSnapshot snapshotTree(const QString &root)
{
    TreeSnapshot snapshot;
    addEntries(root, QString(), snapshot);
    return snapshot;
}

void PrintTo(const TreeEntry &entry, std::ostream *os)
{
    static const char *const kTypes[] = {"file", "dir", "link"};
    *os << kTypes[entry.type] << " mode " << std::oct << entry.mode << std::dec;
    if (entry.type != TreeEntry::Dir) {
        const QByteArray shown = entry.content.size() > 40 ? entry.content.left(40) + "..." : entry.content;
        *os << " \"" << shown.toStdString() << "\" (" << entry.content.size() << " bytes)";
    }
}
