#pragma once

#include <QString>

// The session record: group "current" of "update.ini" in the program's directory. It lets an interrupted
// update of the same version continue, and carries the installation directory from step one to step two.
// The file also holds the user's groups "Channel" and "update"; only "current" is ever written or removed.
class UpdateIniData
{
public:
    // Reads the record. True only for a usable record: an integer version, a type, and a "dir" that is a
    // session directory this program creates (see the .cpp). Only then are the non-null outputs written.
    static bool get(int *version, QString *type, QString *dir, QString *cv5dir);

    // Writes the record, keeping the other groups; false when the file cannot be written.
    static bool modify(int version, const QString &dir, const QString &cv5dir, const QString &type);

    // Writes the record for step two into dir + "/update.ini", with the client's package type, together with
    // copies of the groups "update" and "Channel", so that step two keeps the user's proxy and channel.
    // False, writing nothing, when the program directory holds no usable record.
    static bool modifyTempIni(const QString &dir);

    // Removes group "current" from the program directory's file; the file itself goes only when nothing is
    // left in it. True when no record remains.
    static bool remove();

    // Absolute path of the program directory's "update.ini".
    static QString path();
};
