#pragma once

#include <QByteArray>
#include <QString>

// "update.ini" in the program's own directory, which for a test is the test executable's directory.
// Any leftover is removed on construction and the file is always removed on destruction, so no test
// sees another test's file (nor a directory that a test put in its place).
class AppDirIni
{
public:
    AppDirIni(); // no file, but removed again at the end
    explicit AppDirIni(const QByteArray &contents);
    ~AppDirIni();
    AppDirIni(const AppDirIni &) = delete;
    AppDirIni &operator=(const AppDirIni &) = delete;

    static QString path();
    bool write(const QByteArray &contents) const; // replaces the file
    // Puts a directory in the file's place, so that every write of the file fails; removed like the file.
    bool block() const;
};
