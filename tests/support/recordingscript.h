#pragma once

#include <QString>
#include <QStringList>

// An executable shell script that records how it was started: its working directory, its argument count
// and its arguments, one per line, in <script path>.seen. The record is written under another name and then
// renamed, so a reader never sees half of it. Stands in for the client's run script and the next updater.
class RecordingScript
{
public:
    struct Run
    {
        bool seen = false;
        QString workingDir; // physical path, as `pwd -P` gives it
        int argumentCount = -1;
        QStringList arguments;
    };

    explicit RecordingScript(const QString &path); // creates parent directories
    bool created() const { return m_created; }

    // Turns the event loop until the record appears, or timeoutMs has passed (then seen is false).
    Run waitForRun(int timeoutMs = 20000) const;
    // Whether a record exists now.
    bool ran() const;

private:
    QString m_path;
    bool m_created = false;
};
