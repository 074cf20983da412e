#pragma once

#include "directorylock.h"

#include <QObject>
#include <QString>

class Configuration;
class MainTaskSpecification;
class QNetworkAccessManager;
class QTimer;

// Drives one update run for the main window: prepares or continues the session recorded in "update.ini",
// runs the main task with a 1000 ms pull of its download counters, and cleans up after a successful run.
// Everything it has to say reaches the window through its signals; a fatalError ends the program with 2.
class UpdateEngine : public QObject
{
    Q_OBJECT
public:
    enum State { PRE_INIT = 0, POST_INIT = 1, RUNNING = 2, FINISHED = 3, CANCELED = 4 };

    // Reads group "update" of the program directory's "update.ini" and sets the download proxy from it.
    // config is not owned and must outlive the engine.
    UpdateEngine(Configuration *config, QObject *parent);

    // Requires PRE_INIT. Prepares the session and writes its record; true and POST_INIT on success. On false
    // the state stays PRE_INIT and the reason has been reported (fatalError, error, or by the configuration).
    bool initialize();
    // Requires POST_INIT. Builds, connects and executes the main task.
    bool startUpdate();
    // Requires CANCELED; back to PRE_INIT.
    void resetAfterCancel();
    // A session is prepared or running.
    bool isActive() const;

    int state() const { return m_State; }
    QNetworkAccessManager *networkManager() const { return m_networkManager; }

signals:
    void fatalError(const QString &text);
    void error(const QString &text);
    void updateProgress(qreal progress);
    void downloadProgress(qulonglong received, qulonglong total, qulonglong sinceLastPoll, bool active);
    void message(const QString &text);
    void updateFinished();
    void updateCanceled();

public slots:
    void cancelUpdate();
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();

public:
    // Ordinary members, not slots: nothing may reach these deletions through the meta-object (a connection by
    // name, invokeMethod).
    // Run by onTaskFinished(). Step one removes the session record; step two removes the temporary directory
    // the record names, and the record with it.
    void cleanup();
    // Empties dir (files first, then subdirectories); dir itself stays. Symbolic links are neither followed
    // nor removed. Failures are ignored.
    static void removeDirRecursive(const QString &dir);
    // Removes a session directory (removeDirRecursive, then the directory itself), its "update.ini" last: until
    // the directory is gone, that record names the installation, so a run killed half-way leaves a directory
    // that the next run can still tell is its own (see SessionSettler). True when the directory is gone.
    static bool removeSessionDirectory(const QString &dir);

    // Leftovers of earlier installations in dir (a path without trailing separator), removed at start; see
    // oldfileremover.h. The four Qt 4 libraries under their own names:
    static void removeQt4Files(const QString &dir);
    // "_old_" + the updater's, a Qt 4 or Qt 5 library's, a Qt plug-in's or the SQLite library's name:
    static void removeOldFiles(const QString &dir);

protected:
    // The root task of a run; a new one for every run.
    virtual MainTaskSpecification *createMainTask();

private:
    void setProxy();
    // removeDirRecursive() that leaves the file keep (an absolute path) in dir.
    static void removeDirEntries(const QString &dir, const QString &keep);

    int m_State = PRE_INIT;
    Configuration *m_config;
    MainTaskSpecification *m_mainTask = nullptr;
    QTimer *m_timer;
    QNetworkAccessManager *m_networkManager;
    // Held from initialize() until the engine goes: no other run changes this installation or touches this
    // session meanwhile.
    DirectoryLock m_installLock;
    DirectoryLock m_sessionLock;
};
