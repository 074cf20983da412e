#pragma once

#include <QSettings>
#include <QString>

// An ini file as this program reads and writes them ("update.ini", the product ini): INI format, UTF-8
// text, so that non-ASCII paths and names survive a round trip.
class IniSettings : public QSettings
{
public:
    explicit IniSettings(const QString &fileName)
        : QSettings(fileName, QSettings::IniFormat)
    {
        setIniCodec("UTF-8");
    }
};
