#pragma once

#include <QString>

// Removes what earlier installations left in the program's directory, at every start: the Qt 4 libraries,
// then the "_old_" files in the directory itself and in "old", "imageformats", "accessible" and "sqldrivers",
// then "old" when it is empty; "Removing old files done" closes it in the log.
//
// Only entries of the fixed name lists are removed, each as a file, and only through real directories of the
// installation: a subdirectory that is a symbolic link is left alone, since what lies behind it is not the
// installation's. An "_old_" entry that is itself a link goes as a link; a dangling one counts as absent.
void removeOldFilesAtStart(const QString &programDir);
