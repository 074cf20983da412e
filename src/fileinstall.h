#pragma once

#include <QString>
#include <QtGlobal>

// Putting a finished file into the installation without a moment in which its installed name is missing.
// The new bytes are first written and checked under a hidden name beside the installed name (see
// temporaryPathBeside), then one step puts them in place: an exchange of the two names when an installed
// file exists (the old bytes then sit under the hidden name, and exchanging again undoes it), a rename
// when none does. FileInstallTaskSpecification is the task that does it with its undo records.
namespace FileInstall {

// A name in target's directory that nothing uses yet: "." + the start of target's file name + marker + a
// random part. Hidden, and short enough for any target name (a file name may hold at most 255 bytes).
QString temporaryPathBeside(const QString &target, const QString &marker = QStringLiteral(".part-"));

// Swaps the two names in one step. False (errno set) when either is missing or the file system refuses;
// EINVAL or ENOSYS mean the file system or kernel cannot exchange at all.
bool exchange(const QString &a, const QString &b);
// Renames source to target, replacing a file there in one step.
bool renameOver(const QString &source, const QString &target);
// Renames source to target only when target does not exist.
bool renameNoReplace(const QString &source, const QString &target);

// The inode number of the entry itself (a link is not followed); 0 when there is none.
quint64 inodeOf(const QString &path);
// Present as a directory entry, also a dangling symbolic link.
bool entryExists(const QString &path);

// True when one of path's directories below base (base itself excluded, the last component excluded) is a
// symbolic link: writing or deleting there would reach outside base. relative is path's part below base.
bool leadsThroughLink(const QString &base, const QString &relative);

// Gives newFile, which is to take installed's place, what the installed file had beyond its bytes and mode:
// its group, its owner where this process may set it, and its POSIX access ACL. Changes newFile's inode, so
// a second name of the same file changes with it. What cannot be set is left as it is.
void takeOwnershipOf(const QString &installed, const QString &newFile);
// Gives newFile, which is to appear in a directory where nothing lay before, what that directory gives a file
// created in it: the directory's group when it is set-group-ID, and its default ACL.
void takeDirectoryDefaults(const QString &newFile);

// Removes what lies at path: a file or link, or a directory with everything in it (links inside are removed
// themselves, never followed). True when nothing is left there.
bool removeTree(const QString &path);

} // namespace FileInstall
