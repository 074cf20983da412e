#include "markerfile.h"

#include "filedescriptor.h"

#include <QByteArray>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace MarkerFile {

bool write(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st
    {
    };
    if (::lstat(name.constData(), &st) == 0) {
        // A link is replaced like any file of ours; another user's entry is not ours to replace.
        if (st.st_uid != ::geteuid() || S_ISDIR(st.st_mode)) {
            qDebug() << "Marker path taken by another entry" << path << st.st_uid;
            return false;
        }
    } else if (errno != ENOENT) {
        return false;
    }

    const QFileInfo info(path);
    QByteArray temporary = QFile::encodeName(info.path() + "/." + info.fileName() + ".new-XXXXXX");
    FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (file.get() < 0)
        return false;
    // mkostemp gives 0600; the client, of the same user, only looks for the name.
    if (::fchmod(file.get(), 0644) != 0 || !file.close() || ::rename(temporary.constData(), name.constData()) != 0) {
        qDebug() << "Marker not written" << path << errno;
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

bool remove(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st
    {
    };
    if (::lstat(name.constData(), &st) != 0 || st.st_uid != ::geteuid() || S_ISDIR(st.st_mode))
        return false;
    return ::unlink(name.constData()) == 0;
}

} // namespace MarkerFile
