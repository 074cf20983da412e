// Checks one file as the updater does before it takes it: CheckSigFunc against an expected SHA-512. Meant for
// whole-process measurements (time, peak memory) beside sha512sum on the same file; see file_check.sh.
//
// Usage: file_check <file> <sha512-hex>. Exit code 0 when the file matches, 1 when not.
#include "checksignaturetaskspecification.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: %s <file> <sha512-hex>\n", argv[0]);
        return 2;
    }
    CheckSigFunc check(args[1], args[2]);
    const bool ok = check.run();
    std::printf("%s: %s\n", qPrintable(args[1]), ok ? "matches" : "does not match");
    return ok ? 0 : 1;
}
