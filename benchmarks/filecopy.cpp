// filecopy <source>... <directory>: copies each source file into the directory with the updater's copy routine,
// as the replacement and step one do; no file of the same name may be there yet.
#include "fastfilecopy.h"

#include <QFileInfo>
#include <QString>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <source>... <directory>\n", argv[0]);
        return 2;
    }
    const QString directory = QString::fromLocal8Bit(argv[argc - 1]);
    for (int i = 1; i < argc - 1; ++i) {
        const QString source = QString::fromLocal8Bit(argv[i]);
        if (!FastFileCopy::copyFile(source, directory + "/" + QFileInfo(source).fileName())) {
            std::fprintf(stderr, "could not copy %s\n", argv[i]);
            return 1;
        }
    }
    return 0;
}
