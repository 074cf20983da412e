#pragma once

#include <QString>
#include <QStringList>

#include <string>

// Process-wide values, set up before main() runs.

// Base URL of the update file tree for the chosen channel, with a trailing "/". Written while the
// channel is looked up, read when download URLs are built.
extern QString updateBaseUrl;

// Installed files that are made executable: by file name, and by complete suffix (after the first ".").
extern const QStringList specialFileNames;
extern const QStringList specialFileSuffixes;

// Timestamp of each line of the updater's log file.
extern const QString logTimestampFormat;

// Marker files in the system's temporary directory that record the answer to the reboot question.
extern const QString forceUpdateFileName;
extern const QString forceUpdateCheckFileName;

// Version query endpoint (plain HTTP; writable so that tests can point it at a local server) and the
// version string of a channel that has none.
extern std::string versionQueryUrl;
extern const std::string defaultVersionString;

// Base URL of the stable and beta file trees.
QString defaultUpdateBaseUrl();
