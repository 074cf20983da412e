#pragma once

#include <QString>
#include <QWidget>

class Configuration;
class QCloseEvent;
class QShowEvent;
class Ui_MainWindow;
class UpdateEngine;

// The updater's only window and the owner of the run: creates the update engine, starts it once the
// configuration is ready, shows progress and progress texts, asks before aborting and before a reboot,
// reports failures, and at the end starts the client or the next updater and closes.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    // config is not owned and must outlive the window.
    explicit MainWindow(Configuration *config);
    // The same with an engine made by the caller (a test's engine with scripted runs); the window becomes
    // its parent.
    MainWindow(Configuration *config, UpdateEngine *engine);
    ~MainWindow() override;

    // Fills the version label from the configuration; called once the command line is parsed.
    void updateTexts();
    // Step one only: removes the reboot-question markers of an earlier run from the temporary directory.
    void delete_force_update_files();
    // Creates an empty marker file of this user in the system's temporary directory (see MarkerFile::write).
    void write_force_update_file(const QString &name);

    // How the run ended, for the log's last line: "fatal" after a fatal error, "finished" after a finished
    // update, "error" after a failed run or a refused start, "cancelled" when the user stopped it, and "error"
    // for any other end (the version query gave no answer).
    QString outcome() const;

    // The window while it exists; install commands connect their reboot request to it.
    static MainWindow *instance;

    Ui_MainWindow *ui;
    Configuration *config;
    UpdateEngine *engine;

public slots:
    void onRebootWithConfirmation();
    void onFatalError(const QString &text);
    void onStartUpdate();
    void onStartNewUpdater();
    void onAppendText(const QString &text);
    void onUpdateFinished();
    void onUpdateCanceled();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void onEngineError(const QString &text);
    void onProgress(qreal progress);
    void onDetailsClicked();
    void onOtherInstanceActivate(const QString &text);
    void onConfigurationError(const QString &text);
    void onStartClient();
    // A fatal error (engine: 2, configuration: 1): no run starts any more; a running one is cancelled, and
    // the program ends with exitCode once the box is closed and the run has stopped (its replacement rolled
    // back).
    void reportFatalError(const QString &text, int exitCode);
    void exitAfterFatalErrorWhenStopped();

    bool m_updateDone = false;
    bool m_abortRequested = false; // also set when a reboot answer waits for the engine to stop
    bool m_updateStarted = false;
    bool m_rebootPending = false;
    bool m_cancelBoxOpen = false; // the box's own event loop may deliver a second cancel report
    int m_fatalExitCode = 0; // set by the first fatal error; from then on no run starts
    bool m_fatalBoxOpen = false;
    bool m_runFailed = false; // a run ended cancelled or failed without the user's asking, or an error was shown
    bool m_closedByUser = false;
};
