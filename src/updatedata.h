#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <limits>

// The plan of one update run: filled by planning from the product ini, then worked off list by list.
// Entries are plain values; nothing changes them after planning.

// One file to fetch into the temporary directory: a whole file, or the patch chosen for it.
struct DownloadEntry
{
    QString section; // remote directory of the file
    QString name; // relative path on the server and under the temporary directory
    QString sha512; // expected SHA-512 of the fetched file, hex
    quint64 size = 0;
    // The ".sig" of a packed or patched line's result when the line gives no final SHA-512: fetched as it is
    // (small, bounded); it is checked by the check of the result it signs.
    bool signature = false;
};

// One installed file to bring up to date.
struct FileReplaceEntry
{
    QString section;
    QString name; // the whole (possibly packed) file under the temporary directory
    QString finalSha512; // SHA-512 the installed file must have afterwards (a whole file's own); empty: its ".sig"
    quint64 finalSize = 0;
    QString targetName; // installed relative path of a packed file; empty for a whole file
    QString patchName; // patch file under the temporary directory; empty when the whole file is used

    bool isPacked() const { return !targetName.isEmpty(); }
    bool hasPatch() const { return !patchName.isEmpty(); }
    // What unpacking or patching may produce: the listed size, or -1 (no cap) where planning could not read one
    // (it gives 0); the final SHA-512 check still binds then.
    qint64 maxOutputSize() const
    {
        return finalSize > 0 && finalSize <= quint64(std::numeric_limits<qint64>::max()) ? qint64(finalSize) : -1;
    }
};

// One path under the installation directory to remove.
struct DeleteEntry
{
    QString path;
    bool recursive = false;
};

// One pre- or post-install program to run.
struct InstallCommand
{
    QString command; // relative to the temporary directory
    QStringList arguments; // the installation-directory token already replaced
    bool required = true; // a failing required command fails its step
};

// Planning's working record of one patch line; it never leaves the planning task.
struct PatchEntry
{
    QString section;
    QString name; // the patch file's name on the server and under the temporary directory
    QString patchSha512;
    quint64 patchSize = 0;
    QString targetName; // installed relative path the patch applies to
    QString baseSha512; // the installed file must have this SHA-512 for the patch to apply
    quint64 baseSize = 0;
};

struct UpdateData
{
    QList<DownloadEntry> downloads;
    QList<FileReplaceEntry> replacements;
    QList<DeleteEntry> deletions;
    QList<InstallCommand> preInstall;
    QList<InstallCommand> postInstall;

    void clear();
};

// The entry's installed path relative to a base directory: the target name of a packed file, else its name.
QString makeEntryPath(const FileReplaceEntry &entry);
