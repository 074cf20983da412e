#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects the lines that Qt's message handler receives (qDebug() and friends, from any thread) while it
// exists; the previous handler comes back on destruction. One capture at a time.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    struct Message
    {
        QtMsgType type;
        QString text;
    };

    QStringList lines() const;
    // The same lines with their levels.
    QList<Message> messages() const;
    // Whether some line contains fragment.
    bool contains(const QString &fragment) const;

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text);

    QtMessageHandler m_previous = nullptr;
    QStringList m_lines;
    QList<Message> m_messages;
};
