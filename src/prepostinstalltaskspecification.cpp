#include "prepostinstalltaskspecification.h"

#include "configuration.h"
#include "fastfilecopy.h"
#include "filedescriptor.h"
#include "fileinstall.h"
#include "mainwindow.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QLatin1String kArgumentPrefix("--");
const mode_t kCommandMode = 0755;

// The replacement may have made an installed file a second name of the command's file (a hard link): the
// command then becomes a file of its own first, so that its new mode stays off the installed file.
void unshare(const QString &program)
{
    const QString own = FileInstall::temporaryPathBeside(program, QStringLiteral(".own-"));
    if (FastFileCopy::copyFile(program, own) && FileInstall::renameOver(own, program))
        return;
    QFile::remove(own);
    qDebug() << "Command file still shared with another name" << program;
}

// Gives the command file rwxr-xr-x. Only a regular file is changed, and a link is never followed: the
// command must be the file the download left in the temporary directory.
void makeCommandExecutable(const QString &program)
{
    const QByteArray name = QFile::encodeName(program);
    FileDescriptor file(::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st
    {
    };
    if (file.get() >= 0 && ::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink > 1) {
        file.reset(-1);
        unshare(program);
        file.reset(::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (file.get() < 0) {
        qDebug() << "Command file not opened for its mode" << program;
        return;
    }
    if (::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) != kCommandMode)
        qDebug() << "Set executable flag on" << program << (::fchmod(file.get(), kCommandMode) == 0);
}

} // namespace

PrePostInstallFunc::PrePostInstallFunc(const InstallCommand &command, const QString &tempDir)
    : m_command(command)
    , m_tempDir(tempDir)
{
}

QStringList PrePostInstallFunc::processArguments(const QStringList &arguments)
{
    QStringList args;
    for (const QString &argument : arguments)
        args.append(kArgumentPrefix + argument);
    return args;
}

bool PrePostInstallFunc::run()
{
    const QStringList args = processArguments(m_command.arguments);
    qDebug() << "Starting" << m_command.command;
    qDebug() << "args" << args;
    qDebug() << "temp dir:" << m_tempDir;
    emit message(tr("Starting %1").arg(m_command.command));

    const QString program = m_tempDir + QDir::separator() + m_command.command;
    makeCommandExecutable(program);

    QProcess process;
    // The output is not used; discarding it keeps a talkative command from filling memory while it runs.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, args, QIODevice::ReadOnly);
    qDebug() << "state" << process.state();

    if (!process.waitForStarted(kStartTimeoutMs)) {
        qDebug() << "Failed to start process, state =" << process.state() << ", error =" << process.errorString();
        emit message(tr("Failed to start %1: %2").arg(m_command.command, process.errorString()));
        return failure();
    }
    qDebug() << "Wait for started completed";
    if (!process.waitForFinished(-1)) {
        qDebug() << "Failed to run process, state =" << process.state() << ", error =" << process.errorString();
        emit message(tr("Failed to run %1: %2").arg(m_command.command, process.errorString()));
        return failure();
    }
    qDebug() << "Wait for finished completed";
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    qDebug() << "Process exit code:" << code;
    if (isRebootExitCode(code)) {
        emit message(tr("%1 completed sucessfully, reboot required").arg(m_command.command));
        emit reboot_with_confirmation();
        return true;
    }
    switch (code) {
    case 0:
        emit message(tr("%1 completed sucessfully").arg(m_command.command));
        return true;
    case 1:
        emit message(tr("Failed to complete %1, exit code: %2").arg(m_command.command).arg(code));
        return failure();
    default:
        return failure();
    }
}

bool PrePostInstallFunc::isRebootExitCode(int code)
{
    // A process's exit status has eight bits here: a command's exit(1010) reaches the updater as 242.
    return code == kRebootExitCode || code == (kRebootExitCode & 0xFF);
}

PrePostInstallTaskSpecification::PrePostInstallTaskSpecification(const InstallCommand &command, Configuration *config,
                                                                 QObject *parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_command(command)
    , m_config(config)
{
}

ASyncFunc *PrePostInstallTaskSpecification::createFunc()
{
    return new PrePostInstallFunc(m_command, m_config->m_tempDir);
}

void PrePostInstallTaskSpecification::connectFunc(ASyncFunc *f)
{
    ASyncTaskSpecification::connectFunc(f);
    // Without a window nothing asks the question; the command has succeeded all the same.
    if (MainWindow::instance) {
        auto *func = static_cast<PrePostInstallFunc *>(f);
        // Both queued, and emitted before the result: the task knows of the request when the result arrives.
        connect(func, &PrePostInstallFunc::reboot_with_confirmation, this,
                &PrePostInstallTaskSpecification::onRebootRequested, Qt::QueuedConnection);
        connect(func, &PrePostInstallFunc::reboot_with_confirmation, MainWindow::instance,
                &MainWindow::onRebootWithConfirmation, Qt::QueuedConnection);
    }
}

void PrePostInstallTaskSpecification::onRebootRequested()
{
    m_rebootRequested = true;
}

void PrePostInstallTaskSpecification::runDone(bool ok)
{
    if (state() != TASK_RUNNING || !ok || !m_rebootRequested) {
        ASyncTaskSpecification::runDone(ok);
        return;
    }
    // The question says the update is cancelled unless the user reboots now, so whichever the answer, the run
    // ends here: nothing after this command may start while the question is open.
    if (cancelRequested()) {
        setCanceled();
        return;
    }
    qDebug() << "Holding the update for the reboot answer after" << m_command.command;
    m_waitingForRebootAnswer = true;
}

void PrePostInstallTaskSpecification::cancel()
{
    ASyncTaskSpecification::cancel();
    if (!m_waitingForRebootAnswer)
        return;
    m_waitingForRebootAnswer = false;
    setCanceled();
}

void PrePostInstallTaskSpecification::reset()
{
    m_rebootRequested = false;
    m_waitingForRebootAnswer = false;
    ASyncTaskSpecification::reset();
}

PrePostInstallListTaskSpecification::PrePostInstallListTaskSpecification(QList<InstallCommand> *commands,
                                                                         Configuration *config, QObject *parent,
                                                                         qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_commands(commands)
    , m_config(config)
{
}

void PrePostInstallListTaskSpecification::execute()
{
    if (!m_commands->isEmpty())
        emit message(tr("Starting install condition"));
    for (const InstallCommand &command : qAsConst(*m_commands))
        addTask(new PrePostInstallTaskSpecification(command, m_config, this, 0.1));
    setState(TASK_RUNNING);
    startTasks();
}

void PrePostInstallListTaskSpecification::reset()
{
    clearTasks();
    // The composed reset also clears the end-of-run flags; without it a second run would never end.
    ComposedTaskSpecification::reset();
}
