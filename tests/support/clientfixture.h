#pragma once

#include <QString>
#include <QStringList>

// A client installation of version 1 and the update server's tree of version 2, as the publisher would lay
// them out, for runs of the real program against a real server: whole files, a gzip-packed and an LZMA
// container file, a data file and a 32-bit x86 ELF library offered as patches against version 1 (beside
// their LZMA containers), a changed run script that records its start, a new file in a new directory, a current file
// that needs nothing, and "delete" lines for a file (value 0) and a directory tree (value 2). Files the
// product ini does not name (the user's own) must come through untouched.
namespace clientfixture {

struct Options
{
    // The run script of version 2 writes its working directory and its argument count into this file
    // (through a temporary name, so a reader never sees half of it).
    QString startRecord;
    // When not empty: the product ini runs a pre-install and a post-install command (shipped as files of the
    // update, and installed with it), and each appends to this file its name, its argument count, its
    // arguments one per line, and the installed "version.txt" as it finds it.
    QString commandRecord;
    // The server's copy of a whole file differs from the SHA-512 that the product ini gives for it.
    bool tamperWholeFile = false;
    // The product ini gives a wrong final SHA-512 for the LZMA container file, so its replacement fails
    // after it was unpacked, half-way through the step.
    bool breakPackedFile = false;
    // When not empty: the directory that the "delete" line removes holds a link to this directory.
    QString linkTarget;
    // The run script's line gives no SHA-512: the script is vouched for by "cv5client_runscript.sh.sig".
    bool runScriptBySignature = false;
    // The packed and patched files' lines give no final SHA-512: each result is vouched for by the ".sig" of
    // its installed name, served beside it (target + ".sig" in the section), unless that is left out.
    bool packedBySignature = false;
    bool resultSignaturesMissing = false;
    // The server sends another run script than the one its ".sig" was made for (a man in the middle).
    bool substituteRunScript = false;
    // A "delete" line (value 0) names the directory "olddata", which holds the user's "left-over.txt": the
    // deletion fails until the user removes that file. applyVersionTwo gives the tree after that.
    bool blockedDeletion = false;
    // That many more files under "bulk/", whole, gzip and LZMA in turn, and one deleted file per ten.
    int bulkFiles = 0;
};

// The files and directories of version 1 under dir (the updater itself is not among them).
bool writeInstallation(const QString &dir, const Options &options);
// Turns a copy of version 1 into what the update must leave: version 2's files with their modes, the deleted
// paths gone, everything else as it was.
bool applyVersionTwo(const QString &dir, const Options &options);
// The update tree under root: root + "/" + kChannelPath + "2/" holds the packed, signed product ini and the
// files of its section. Needs the build's development key.
bool writeUpdateTree(const QString &root, const Options &options);

// The updater's package of the same version, for step one: the new "update" is a shell script packed as an
// LZMA container that notes how it was started and then runs the real program, shipped whole beside it as
// "update.bin" (which the script makes executable first); a text file comes gzip-packed. Needs the build's
// development key.
struct UpdaterOptions
{
    QString program; // the real updater, served as "update.bin"
    // The new "update" writes into this file (through a temporary name) its working directory, its own mode
    // in octal, the file names in its "translations" directory joined by blanks, its argument count and its
    // arguments, one per line; once the program has ended, its exit code goes into startRecord + ".exit".
    QString startRecord;
    // The LZMA container unpacks to other bytes than the final SHA-512 that the product ini gives for it.
    bool tamperUpdater = false;
};
bool writeUpdaterTree(const QString &root, const UpdaterOptions &options);
// The installed version 1 of the updater's files that its package offers as patches (a text file and a 32-bit
// x86 ELF library); step one patches copies of them into the session directory and leaves these as they are.
bool writeUpdaterInstallation(const QString &dir);

// Base path of the alpha channel's tree below the server root, and the version it offers.
extern const char kChannelPath[];
constexpr int kVersion = 2;

// The paths below the installation that the update changes, for telling what happened.
QStringList replacedPaths();
QStringList deletedPaths();

// Every path the installation holds in version 1 or 2 (user's files included), with its bytes in either
// version; an empty array with present false: not in that version.
struct Versions
{
    QString path;
    bool inOne = false;
    QByteArray one;
    bool inTwo = false;
    QByteArray two;
};
QList<Versions> installedFiles(const Options &options);

} // namespace clientfixture
