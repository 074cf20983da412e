#include "mainwindow.h"

#include "configuration.h"
#include "globals.h"
#include "maintaskspecification.h"
#include "markerfile.h"
#include "processtools.h"
#include "runlog.h"
#include "singleinstancechecker.h"
#include "ui_mainwindow.h"
#include "updateengine.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

// Outside any namespace, as Q_INIT_RESOURCE requires.
static void initResources()
{
    // The images live in the static update_app library; without this reference the linker would drop them.
    Q_INIT_RESOURCE(corvalink);
}

namespace {
const char kMakerUrl[] = "https://www.corvalink.example/";
const int kProgressScale = 1000; // the bar's maximum
const int kHandOverDelayMs = 1000;
// A critical box whose text is shown as it is: texts of errors carry paths, URLs and server answers, which
// must never be taken for markup.
void showPlainTextError(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

MainWindow *MainWindow::instance = nullptr;

MainWindow::MainWindow(Configuration *config)
    : MainWindow(config, new UpdateEngine(config, nullptr))
{
}

MainWindow::MainWindow(Configuration *config, UpdateEngine *engine)
    : QWidget(nullptr)
    , ui(new Ui_MainWindow)
    , config(config)
    , engine(engine)
{
    initResources();
    engine->setParent(this);
    instance = this;

    connect(engine, &UpdateEngine::error, this, &MainWindow::onEngineError);
    connect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgress);
    connect(engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);

    ui->setupUi(this);
    // Queued: the button's own toggled() must have shown the text view before it is scrolled.
    connect(ui->detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsClicked, Qt::QueuedConnection);

    ui->banner->setUrl(kMakerUrl);
    ui->corvalinkLabel->setUrl(kMakerUrl);
    ui->corvalinkLabel->hide(); // shown by showEvent, sized to the version label
    ui->outputTextEdit->hide();

    // The local server that later updaters reach; it goes with the window.
    auto *instanceChecker = new SingleInstanceChecker(this);
    connect(instanceChecker, &SingleInstanceChecker::otherInstanceActivate, this, &MainWindow::onOtherInstanceActivate);

    connect(config, &Configuration::fatalError, this, &MainWindow::onConfigurationError);
    connect(config, &Configuration::ready, this, &MainWindow::onStartUpdate);

    // The primary screen's available area; its origin is deliberately not added.
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    move(available.width() / 2 - width() / 2, available.height() / 2 - height() / 2);
}

MainWindow::~MainWindow()
{
    instance = nullptr;
    delete ui;
}

void MainWindow::updateTexts()
{
    QString text;
    if (!config->m_versionString.isEmpty()) {
        // The version text comes from the unsigned version answer: it is shown literally, never as markup.
        text += "<div style=\"font-weight:bold;font-size:large\">" +
            tr("Update to Corvalink %1").arg(config->m_versionString.toHtmlEscaped()) + "</div>";
    }
    QString channel;
    switch (config->m_channel) {
    case 0:
        channel = tr("Stable");
        break;
    case 1:
        channel = tr("Beta");
        break;
    case 2:
        channel = tr("Alpha");
        break;
    default:
        break;
    }
    text += "<div style=\"margin-top:0.2em\">" + tr("You are currently on <strong>%1 channel</strong>.").arg(channel) +
        "</div>";
    text += "<div style=\"margin-top:0.2em;font-style:italic\">" +
        (config->m_clientUpdate ? tr("Step two: Updating Corvalink client") : tr("Step one: Updating updater")) +
        "</div>";
    ui->versionLabel->setText(text);
}

void MainWindow::onStartUpdate()
{
    qDebug() << "onStartUpdate" << m_updateDone << m_updateStarted;
    if (m_updateDone || m_updateStarted)
        return;
    // The fatal error's box runs its own event loop, where the start timer and ready() still arrive.
    if (m_fatalExitCode != 0) {
        qDebug() << "Not starting the update after a fatal error";
        return;
    }
    if (engine->isActive()) {
        qDebug() << "Session already active";
        return;
    }
    if (!config->m_valid) {
        qDebug() << "Aborting start update, configuration not yet ready";
        return;
    }
    if (!engine->initialize())
        return; // the engine or the configuration has said why
    qDebug() << "Update engine initialized";
    m_updateStarted = true;
    engine->startUpdate();
}

void MainWindow::onEngineError(const QString &text)
{
    m_runFailed = true;
    onAppendText(text);
    logShownBox(QObject::tr("Error"), text);
    showPlainTextError(this, QObject::tr("Error"), text);
}

void MainWindow::onProgress(qreal progress)
{
    // The main task's weights add up to more than 1 (1.2 in step two, 1.15 in step one), so its progress is
    // shown as a share of the whole pipeline; otherwise the bar would stop at its maximum long before the
    // end. The small allowance keeps rounding in the weights' sum from leaving the bar one short at the end.
    qreal total = 0;
    for (const MainTaskSpecification::StageWeight &stage : MainTaskSpecification::pipeline(config->m_clientUpdate))
        total += stage.weight;
    const qreal share = total > 0 ? progress / total : 0;
    ui->totalProgressBar->setValue(qBound(0, int(share * kProgressScale + 1e-6), kProgressScale));
}

void MainWindow::onDetailsClicked()
{
    if (ui->outputTextEdit->isVisible()) {
        QScrollBar *bar = ui->outputTextEdit->verticalScrollBar();
        bar->setValue(bar->maximum());
    }
}

void MainWindow::onOtherInstanceActivate(const QString &text)
{
    if (text == QLatin1String("#")) {
        qDebug() << "Raising the window for another updater";
        raise();
        activateWindow();
    }
}

void MainWindow::onConfigurationError(const QString &text)
{
    reportFatalError(text, 1);
}

void MainWindow::onFatalError(const QString &text)
{
    reportFatalError(text, 2);
}

void MainWindow::reportFatalError(const QString &text, int exitCode)
{
    logShownBox(QObject::tr("Error"), text);
    if (m_fatalExitCode != 0)
        return; // the first one ends the program; its box is open or the run is stopping
    m_fatalExitCode = exitCode;
    m_fatalBoxOpen = true; // a run that ends inside cancelUpdate() must not exit before the box was seen
    // Quitting in the middle of the pipeline could leave old and new files mixed: the run is cancelled first,
    // and its replacement rolls back while the box is open.
    if (engine->state() == UpdateEngine::RUNNING)
        engine->cancelUpdate();
    showPlainTextError(this, QObject::tr("Error"), text);
    m_fatalBoxOpen = false;
    exitAfterFatalErrorWhenStopped();
}

void MainWindow::exitAfterFatalErrorWhenStopped()
{
    if (m_fatalBoxOpen || engine->state() == UpdateEngine::RUNNING)
        return; // called again by the end of the box or of the run
    qDebug() << "Exiting after a fatal error with" << m_fatalExitCode;
    // Outside the event loop (the command line is being parsed) this has no effect, and main() returns 1.
    QCoreApplication::exit(m_fatalExitCode);
}

void MainWindow::onAppendText(const QString &text)
{
    logShownText(text);
    // Not append(): it takes a text that looks like markup for rich text, and these texts carry paths, URLs
    // and server answers.
    QTextEdit *view = ui->outputTextEdit;
    QScrollBar *bar = view->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor cursor(view->document());
    cursor.movePosition(QTextCursor::End);
    if (!view->document()->isEmpty())
        cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    cursor.insertText(text, QTextCharFormat());
    if (atEnd)
        bar->setValue(bar->maximum());
}

void MainWindow::onUpdateFinished()
{
    qDebug() << "onUpdateFinished";
    m_updateDone = true;
    // What was checked is the signature of the product ini, which names no version: the line says what was done.
    qInfo().noquote() << QStringLiteral("Installed the files of version %1's product ini%2")
                             .arg(config->m_version)
                             .arg(config->m_versionString.isEmpty() ? QString() : " (" + config->m_versionString + ")");
    if (m_fatalExitCode != 0) {
        // No hand-over after a fatal error: the program ends with its code.
        exitAfterFatalErrorWhenStopped();
        return;
    }
    // The main task's own end reports its weight (1.0), less than the pipeline's total: the end of the run
    // is the end of the bar.
    ui->totalProgressBar->setValue(kProgressScale);
    if (m_rebootPending) {
        // A reboot answer that waited for the engine to stop quits now; otherwise the question is
        // still open and quits when it is answered.
        if (m_abortRequested)
            QCoreApplication::quit();
        return;
    }
    if (config->m_clientUpdate)
        QTimer::singleShot(kHandOverDelayMs, this, &MainWindow::onStartClient);
    else
        QTimer::singleShot(kHandOverDelayMs, this, &MainWindow::onStartNewUpdater);
}

void MainWindow::onStartClient()
{
    if (config->m_clientUpdate == 1) {
        ProcessTools::startCv5Client(config->m_installDir);
        close();
    }
}

void MainWindow::onStartNewUpdater()
{
    qDebug() << "onStartNewUpdater";
    const QStringList arguments = {
        "--clientupdate",
        Configuration::packageType(true),
        QString::number(config->m_version),
        config->m_versionString.isEmpty() ? QStringLiteral("#") : config->m_versionString,
    };
    if (!ProcessTools::startClientUpdater(config->m_tempDir, arguments)) {
        // Without a new updater nothing updates the client: the run must not end as a success.
        onFatalError(tr("Failed to start the new updater %1").arg(config->m_tempDir + "/update"));
        return;
    }
    close();
}

void MainWindow::onUpdateCanceled()
{
    if (m_fatalExitCode != 0) {
        exitAfterFatalErrorWhenStopped();
        return;
    }
    if (m_abortRequested) {
        QCoreApplication::quit();
        return;
    }
    m_updateDone = false;
    m_runFailed = true;
    engine->resetAfterCancel();
    onAppendText(tr("Update cancelled"));
    ui->totalProgressBar->setValue(0);
    if (m_cancelBoxOpen)
        return;
    m_cancelBoxOpen = true;
    // The window now waits for the user; the log already says how the run went.
    qInfo().noquote() << "Run outcome:" << outcome();
    logShownBox(tr("Update"), tr("Update cancelled. Push \"Details\" to check reasons."));
    QMessageBox::critical(this, tr("Update"), tr("Update cancelled. Push \"Details\" to check reasons."),
                          QMessageBox::Ok);
    m_cancelBoxOpen = false;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!engine->isActive()) {
        m_closedByUser = true;
        event->accept();
        return;
    }
    event->ignore();
    // After a fatal error the run is stopping already, and the program ends once it has.
    if (m_abortRequested || m_fatalExitCode != 0)
        return;
    logShownBox(tr("Question"), tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Question"), tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    qInfo().noquote() << "Answer:" << (answer == QMessageBox::Yes ? "Yes" : "No");
    if (answer == QMessageBox::Yes) {
        m_abortRequested = true;
        engine->cancelUpdate(); // onUpdateCanceled quits once the engine reports it
    }
}

void MainWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // At most as wide and as high as the version label is tall.
    const int h = ui->versionLabel->height();
    ui->corvalinkLabel->setMaximumWidth(h);
    ui->corvalinkLabel->setMaximumHeight(h);
    ui->corvalinkLabel->show();
}

void MainWindow::onRebootWithConfirmation()
{
    qDebug() << "onRebootWithConfirmation";
    m_rebootPending = true;
    logShownBox(tr("Confirm reboot"),
                tr("<p>A computer restart is required to proceed with the client update. If you do not reboot now, "
                   "the Corvalink update will be cancelled.</p><p>Do you want to reboot now?</p>"));
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Confirm reboot"),
        tr("<p>A computer restart is required to proceed with the client update. If you do not reboot now, the "
           "Corvalink update will be cancelled.</p><p>Do you want to reboot now?</p>"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    qInfo().noquote() << "Answer:" << (answer == QMessageBox::Yes ? "Yes" : "No");
    if (answer == QMessageBox::Yes) {
        write_force_update_file(forceUpdateFileName);
        QApplication::beep();
    } else {
        write_force_update_file(forceUpdateCheckFileName);
    }
    if (m_fatalExitCode != 0) {
        exitAfterFatalErrorWhenStopped(); // the fatal error's code, once the run has stopped
        return;
    }
    // Either answer ends the update, as the question says. The install command that asked holds the run
    // until now; it is cancelled, anything recorded rolls back, and onUpdateCanceled quits.
    if (engine->state() == UpdateEngine::RUNNING) {
        m_abortRequested = true;
        engine->cancelUpdate();
        return;
    }
    QCoreApplication::quit();
}

void MainWindow::write_force_update_file(const QString &name)
{
    // Other users share the temporary directory: the marker is a new file renamed into place, never a file
    // opened through a link someone left under its name.
    if (!MarkerFile::write(QDir::tempPath() + "/" + name)) {
        onAppendText("Failed to store force update notice");
        qDebug() << "Failed to store force update notice";
    }
}

void MainWindow::delete_force_update_files()
{
    qDebug() << "delete_force_update_files" << config->m_clientUpdate;
    if (config->m_clientUpdate != 0)
        return;
    MarkerFile::remove(QDir::tempPath() + "/" + forceUpdateFileName);
    MarkerFile::remove(QDir::tempPath() + "/" + forceUpdateCheckFileName);
}

QString MainWindow::outcome() const
{
    if (m_fatalExitCode != 0)
        return QStringLiteral("fatal");
    if (m_updateDone)
        return QStringLiteral("finished");
    if (m_runFailed)
        return QStringLiteral("error");
    if (m_abortRequested || m_closedByUser)
        return QStringLiteral("cancelled");
    return QStringLiteral("error");
}
