#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <ostream>

// Lets GoogleTest print Qt values readably in failure messages (found by argument-dependent lookup).
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}

inline void PrintTo(const QStringList &list, std::ostream *os)
{
    *os << '{';
    for (int i = 0; i < list.size(); ++i)
        *os << (i ? ", \"" : "\"") << list.at(i).toStdString() << '"';
    *os << '}';
}
