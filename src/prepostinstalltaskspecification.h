#pragma once

#include "asynctaskspecification.h"
#include "composedtaskspecification.h"
#include "updatedata.h"

#include <QList>
#include <QString>

class Configuration;

// Runs one install command as a child process on a pool thread and waits for it. The program is the
// command's path below the temporary directory; it is made executable (0755) first, since a downloaded
// file arrives without the execute bit. Each argument is passed with "--" in front of it.
//
// Exit code 0 succeeds; 1010 (242 once cut to the eight bits of an exit status) succeeds and asks for a
// reboot (reboot_with_confirmation); any other code, a crash, a start that does not complete within 30000 ms
// and a failed wait fail the command, which counts as success when the command is optional. The child inherits the
// updater's working directory and environment; its output is discarded.
class PrePostInstallFunc : public ASyncFunc
{
    Q_OBJECT
public:
    static constexpr int kStartTimeoutMs = 30000;
    static constexpr int kRebootExitCode = 1010;

    // Keeps copies: the pool thread never reads the plan or the configuration.
    PrePostInstallFunc(const InstallCommand &command, const QString &tempDir);

    bool run() override;

    // 1010 asks for a reboot, also in the eight bits that reach the updater (242).
    static bool isRebootExitCode(int code);
    // The argument list handed to the process: "--" in front of each argument.
    static QStringList processArguments(const QStringList &arguments);

signals:
    // The command exited with 1010; emitted after its success message, before the result.
    void reboot_with_confirmation();

private:
    // The outcome of a command whose process failed: success only for an optional command.
    bool failure() const { return !m_command.required; }

    const InstallCommand m_command;
    const QString m_tempDir;
};

// One install command of a list. Its reboot request goes to the main window, when there is one; the task then
// holds the update: it stays running after the command has ended, so nothing after it starts, until the
// window's answer cancels the run. Without a window nobody asks, and the command simply succeeds.
class PrePostInstallTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    // Keeps a copy of the command; config is not owned.
    PrePostInstallTaskSpecification(const InstallCommand &command, Configuration *config, QObject *parent,
                                    qreal weight);

    // While the task holds for the reboot answer, the cancel ends it at once.
    void cancel() override;
    void reset() override;

protected:
    ASyncFunc *createFunc() override;
    void connectFunc(ASyncFunc *f) override;
    void runDone(bool ok) override;

private:
    void onRebootRequested();

    const InstallCommand m_command;
    Configuration *m_config;
    bool m_rebootRequested = false; // the command asked, and a window will put the question
    bool m_waitingForRebootAnswer = false;
};

// The pre- or post-install step: the plan's commands, strictly one after the other in list order. A required
// command that fails keeps the rest from starting and cancels the step, and with it the update.
class PrePostInstallListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // commands is the plan's list, read when the step runs; neither pointer is owned.
    PrePostInstallListTaskSpecification(QList<InstallCommand> *commands, Configuration *config, QObject *parent,
                                        qreal weight);

    void execute() override;
    void reset() override;

private:
    QList<InstallCommand> *m_commands;
    Configuration *m_config;
};
