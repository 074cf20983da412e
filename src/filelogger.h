#pragma once

#include <QMutex>
#include <QString>
#include <QTextStream>
#include <QtGlobal>

class QFile;

// Set once, by the logger's constructor, before any other thread exists: whether the marker
// "cv5_update_log" (file or directory) exists in the system's temporary directory.
extern bool loggingEnabled;

// The run's log file in the temporary directory's "corvalink_update_log". One instance per process,
// created on first use and never destroyed; with logging off it opens nothing and writes nothing.
class FileLogger
{
public:
    // The process's logger; the first call creates it and opens the log file.
    static FileLogger *instance();

    FileLogger();
    ~FileLogger();
    FileLogger(const FileLogger &) = delete;
    FileLogger &operator=(const FileLogger &) = delete;

    // Creates "update__<local ISO time>.log" (replacing a file of the same name) in the log directory, made
    // with mode 0700. A log directory that is a link, not this user's or writable by others, and a file
    // that cannot be created new, log nothing. Failures are silent: the run goes on and its lines are lost.
    void open();
    // Writes one line and flushes it. Safe from any thread.
    void write(QtMsgType type, const QString &message);
    // Flushes and closes the file; later lines are dropped.
    void close();

private:
    QMutex m_mutex; // one line at a time, from every thread
    QFile *m_file = nullptr;
    QTextStream m_stream;
};

// Qt's message handler for the whole run: replaces Qt's output to standard error. Aborts after
// writing a fatal message.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);
