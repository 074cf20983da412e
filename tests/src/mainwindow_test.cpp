// The main window driven in-process: its form, its texts, and how it starts, follows and ends a run of an
// engine whose stages are scripted.
#include "mainwindow.h"

#include "configuration.h"
#include "globals.h"
#include "scriptedmaintask.h"
#include "support/appdirini.h"
#include "support/boxanswerer.h"
#include "support/httptestserver.h"
#include "support/qtprinters.h"
#include "support/recordingscript.h"
#include "support/sandbox.h"
#include "support/scriptedtasks.h"
#include "ui_mainwindow.h"
#include "updateengine.h"
#include "urlclicklabel.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTranslator>

#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>

using Stage = MainTaskSpecification::Stage;

namespace {

// An engine whose runs use scripted stages: each finishes at once unless the test says otherwise.
class WindowEngine : public UpdateEngine
{
public:
    explicit WindowEngine(Configuration *config)
        : UpdateEngine(config, nullptr)
        , m_config(config)
    {
    }
    QMap<Stage, ScriptedTask::Outcome> outcomes;
    QList<Stage> realStages;
    std::function<void(Stage, ScriptedTask *)> prepare = [](Stage, ScriptedTask *) {};
    ScriptedMainTask *lastTask = nullptr;

    ScriptedTask *stage(Stage stage) const { return lastTask ? lastTask->stage(stage) : nullptr; }

protected:
    MainTaskSpecification *createMainTask() override
    {
        lastTask = new ScriptedMainTask(networkManager(), m_config, this, 1.0);
        lastTask->outcomes = outcomes;
        lastTask->realStages = realStages;
        lastTask->prepare = prepare;
        return lastTask;
    }

private:
    Configuration *m_config;
};

// A window over a ready configuration (target version 7, no version string) in a sandbox. The program
// directory's "update.ini" holds iniContents while the engine is built.
struct WindowFixture
{
    explicit WindowFixture(int step = 1, const QByteArray &iniContents = {})
        : ini(iniContents)
        , engine(new WindowEngine(&config))
        , window(&config, engine)
    {
        config.m_valid = true;
        config.m_clientUpdate = step;
        config.m_version = 7;
        config.m_clientType = Configuration::packageType(step == 1);
    }
    Ui_MainWindow *ui() const { return window.ui; }
    QString text() const { return ui()->outputTextEdit->toPlainText(); }

    Sandbox box;
    AppDirIni ini;
    Configuration config;
    WindowEngine *engine; // owned by the window
    MainWindow window;
};

// Receives what QDesktopServices::openUrl would hand to the browser.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    UrlCatcher() { QDesktopServices::setUrlHandler("https", this, "onOpen"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("https"); }
    QStringList urls;

public slots:
    void onOpen(const QUrl &url) { urls << url.toString(); }
};

// The main task starts each stage from the event loop: turns it until `stage` runs.
ScriptedTask *waitForStage(const WindowFixture &f, Stage stage)
{
    ScriptedTask *task = nullptr;
    waitUntil([&] {
        task = f.engine->stage(stage);
        return task && task->state() == TASK_RUNNING;
    });
    return task && task->state() == TASK_RUNNING ? task : nullptr;
}

} // namespace

TEST(MainWindow, FormHoldsTheWidgetsAndTheirSettings)
{
    WindowFixture f;
    Ui_MainWindow *ui = f.ui();
    EXPECT_EQ(f.window.windowTitle(), "Corvalink 3 Client Update");
    EXPECT_EQ(f.window.objectName(), "MainWindow");
    EXPECT_EQ(MainWindow::instance, &f.window);
    EXPECT_EQ(ui->verticalLayout->sizeConstraint(), QLayout::SetFixedSize);
    EXPECT_EQ(ui->versionLabel->alignment(), Qt::AlignLeft | Qt::AlignTop);
    EXPECT_EQ(ui->totalProgressBar->maximum(), 1000);
    EXPECT_EQ(ui->totalProgressBar->value(), 0);
    EXPECT_EQ(ui->totalProgressBar->alignment(), Qt::AlignCenter);
    EXPECT_TRUE(ui->outputTextEdit->isReadOnly());
    EXPECT_EQ(ui->outputTextEdit->lineWrapMode(), QTextEdit::NoWrap);
    EXPECT_TRUE(ui->outputTextEdit->tabChangesFocus());
    EXPECT_TRUE(ui->detailsButton->isCheckable());
    EXPECT_EQ(ui->detailsButton->text(), "Details");
    EXPECT_TRUE(ui->outputTextEdit->isHidden());
    EXPECT_TRUE(ui->corvalinkLabel->isHidden());

    // Both images come from the embedded resources; the banner fills at least 468 x 60.
    for (const char *name : {":/corvalink_logo", ":/corvalink_banner"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(QPixmap(name).isNull());
    }
    EXPECT_GE(QPixmap(":/corvalink_banner").width(), 468);
    EXPECT_GE(QPixmap(":/corvalink_banner").height(), 60);
    EXPECT_GE(ui->banner->minimumWidth(), 468);
    EXPECT_GE(ui->banner->minimumHeight(), 60);
    EXPECT_FALSE(ui->banner->pixmap(Qt::ReturnByValue).isNull());
    EXPECT_FALSE(ui->corvalinkLabel->pixmap(Qt::ReturnByValue).isNull());
    EXPECT_TRUE(ui->banner->hasScaledContents());
    EXPECT_EQ(ui->banner->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(ui->corvalinkLabel->cursor().shape(), Qt::PointingHandCursor);

    // The notice line links to the maker's site and lets the browser open it.
    EXPECT_TRUE(ui->copyrightLabel->openExternalLinks());
    EXPECT_TRUE(ui->copyrightLabel->text().contains("href=\"https://www.corvalink.example/\""));
}

TEST(MainWindow, LogoAndBannerOpenTheMakersSiteWithAnyButton)
{
    WindowFixture f;
    f.window.show();
    UrlCatcher catcher;
    QTest::mouseClick(f.ui()->banner, Qt::LeftButton);
    QTest::mouseClick(f.ui()->corvalinkLabel, Qt::RightButton);
    EXPECT_EQ(catcher.urls, QStringList({"https://www.corvalink.example/", "https://www.corvalink.example/"}));
}

TEST(MainWindow, GeometryWithAndWithoutDetailsAndAPicture)
{
    WindowFixture f(1);
    f.config.m_versionString = "3.7.2";
    f.config.m_channel = 1;
    // Centred on the primary screen's available area, computed before the window is shown.
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(f.window.pos(), QPoint(available.width() / 2 - 486 / 2, available.height() / 2 - 298 / 2));

    f.window.updateTexts();
    f.window.show();
    Ui_MainWindow *ui = f.ui();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f.window));

    auto expectFixed = [&] {
        EXPECT_EQ(f.window.minimumSize(), f.window.maximumSize());
        EXPECT_EQ(f.window.size(), f.window.minimumSize());
        EXPECT_EQ(f.window.width(), 486);
    };
    expectFixed();
    EXPECT_TRUE(ui->outputTextEdit->isHidden());
    // The logo is shown now, no taller and no wider than the version label is tall.
    EXPECT_TRUE(ui->corvalinkLabel->isVisible());
    EXPECT_LE(ui->corvalinkLabel->height(), ui->versionLabel->height());
    EXPECT_LE(ui->corvalinkLabel->width(), ui->versionLabel->height());
    EXPECT_GT(ui->corvalinkLabel->height(), 0);
    EXPECT_GE(ui->banner->width(), 468);
    EXPECT_GE(ui->banner->height(), 60);

    for (int i = 1; i <= 12; ++i)
        f.window.onAppendText(QString("Downloading file %1 of 12").arg(i));
    QTest::mouseClick(ui->detailsButton, Qt::LeftButton);
    EXPECT_TRUE(ui->outputTextEdit->isVisible());
    // The scroll to the newest line is queued behind the button's own toggled().
    QScrollBar *bar = ui->outputTextEdit->verticalScrollBar();
    EXPECT_TRUE(waitUntil([&] { return bar->maximum() > 0 && bar->value() == bar->maximum(); }));
    EXPECT_LE(ui->outputTextEdit->height(), 100);
    EXPECT_GT(ui->outputTextEdit->width(), 400); // no width limit: it spans the window
    expectFixed();

    const QImage picture = f.window.grab().toImage();
    EXPECT_EQ(picture.size(), f.window.size() * f.window.devicePixelRatioF());
    EXPECT_TRUE(picture.save(f.box.path("window.png")));

    QTest::mouseClick(ui->detailsButton, Qt::LeftButton);
    EXPECT_TRUE(ui->outputTextEdit->isHidden());
    expectFixed();
}

TEST(MainWindow, VersionLabelHasHeadingChannelAndStep)
{
    struct Case
    {
        const char *name;
        QString versionString;
        int channel;
        int step;
        QString expected;
    };
    const QString channelStart = "<div style=\"margin-top:0.2em\">You are currently on <strong>";
    const QString stepStart = "<div style=\"margin-top:0.2em;font-style:italic\">";
    const Case cases[] = {
        {"heading, stable, step two", "3.7.2", 0, 1,
         "<div style=\"font-weight:bold;font-size:large\">Update to Corvalink 3.7.2</div>" + channelStart +
             "Stable channel</strong>.</div>" + stepStart + "Step two: Updating Corvalink client</div>"},
        {"no version string, beta, step one", "", 1, 0,
         channelStart + "Beta channel</strong>.</div>" + stepStart + "Step one: Updating updater</div>"},
        {"alpha", "", 2, 1,
         channelStart + "Alpha channel</strong>.</div>" + stepStart + "Step two: Updating Corvalink client</div>"},
        {"unknown channel has no name", "", 7, 0,
         channelStart + " channel</strong>.</div>" + stepStart + "Step one: Updating updater</div>"},
        // The version text comes from an unsigned answer: markup in it is shown as the characters it is.
        {"markup in the version string", "<b>3.8</b><img src=\"x\">&amp;", 0, 1,
         "<div style=\"font-weight:bold;font-size:large\">Update to Corvalink "
         "&lt;b&gt;3.8&lt;/b&gt;&lt;img src=&quot;x&quot;&gt;&amp;amp;</div>" +
             channelStart + "Stable channel</strong>.</div>" + stepStart + "Step two: Updating Corvalink client</div>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WindowFixture f(c.step);
        f.config.m_versionString = c.versionString;
        f.config.m_channel = c.channel;
        f.window.updateTexts();
        EXPECT_EQ(f.ui()->versionLabel->text(), c.expected);
    }
}

TEST(MainWindow, GermanTranslationCoversTheWindow)
{
    QTranslator german;
    ASSERT_TRUE(german.load(CORVALINK_BINARY_DIR "/src/translations/update_de.qm"));
    QCoreApplication::installTranslator(&german);
    {
        WindowFixture f(1);
        f.config.m_versionString = "3.7.2";
        f.window.updateTexts();
        EXPECT_EQ(f.window.windowTitle(), "Corvalink 3 Client-Update");
        EXPECT_EQ(f.ui()->detailsButton->text(), "Details");
        const QString label = f.ui()->versionLabel->text();
        EXPECT_TRUE(label.contains("Update auf Corvalink 3.7.2")) << label.toStdString();
        EXPECT_TRUE(label.contains("Schritt zwei: Corvalink-Client wird aktualisiert")) << label.toStdString();
        EXPECT_EQ(QObject::tr("Error"), "Fehler");
        EXPECT_EQ(MainWindow::tr("Update cancelled"), "Update abgebrochen");
        // The tasks' texts in the text view are German too, in their classes' contexts.
        EXPECT_EQ(MainTaskSpecification::tr("Starting update process for client"),
                  "Aktualisierung des Clients wird gestartet");
        EXPECT_EQ(QCoreApplication::translate("FileReplaceListTaskSpecification", "rolling back file updates"),
                  "Dateiaktualisierungen werden rückgängig gemacht");
        EXPECT_EQ(QCoreApplication::translate("RollbackData", "warning: rollback rename %1 to %2 failed"),
                  "Warnung: Zurückbenennen von %1 in %2 fehlgeschlagen");
    }
    QCoreApplication::removeTranslator(&german);
}

TEST(MainWindow, StartsOnlyWhenTheConfigurationIsReadyAndOnlyOnce)
{
    WindowFixture f(1);
    f.engine->outcomes[Stage::ProductIni] = ScriptedTask::Stay;
    f.config.m_valid = false;

    f.window.onStartUpdate(); // the 2000 ms attempt while the version query is still under way
    EXPECT_EQ(f.engine->state(), UpdateEngine::PRE_INIT);
    EXPECT_EQ(f.engine->lastTask, nullptr);

    f.config.m_valid = true;
    emit f.config.ready();
    EXPECT_EQ(f.engine->state(), UpdateEngine::RUNNING);
    ASSERT_NE(f.engine->lastTask, nullptr);
    ScriptedMainTask *first = f.engine->lastTask;

    emit f.config.ready(); // a late answer changes nothing
    f.window.onStartUpdate();
    EXPECT_EQ(f.engine->lastTask, first);
    EXPECT_EQ(f.engine->state(), UpdateEngine::RUNNING);
    EXPECT_TRUE(f.text().contains("Starting update process for client")) << f.text().toStdString();
}

TEST(MainWindow, ProgressBarEndsExactlyWhenThePipelineEnds)
{
    for (int step : {0, 1}) {
        SCOPED_TRACE(step);
        WindowFixture f(step);
        f.engine->outcomes[Stage::PostInstall] = ScriptedTask::Stay;
        f.window.onStartUpdate();
        ScriptedTask *last = waitForStage(f, Stage::PostInstall);
        ASSERT_NE(last, nullptr);
        // Everything but the last stage (weight 0.1) is done: 1.1 of 1.2, or 1.05 of 1.15.
        EXPECT_EQ(f.ui()->totalProgressBar->value(), step == 1 ? 916 : 913);
        last->setProgress(0.5);
        EXPECT_EQ(f.ui()->totalProgressBar->value(), step == 1 ? 958 : 956);
        last->setFinished();
        EXPECT_TRUE(waitUntil([&] { return f.engine->state() == UpdateEngine::FINISHED; }));
        EXPECT_EQ(f.ui()->totalProgressBar->value(), 1000);
    }
}

TEST(MainWindow, ProgressIsAShareOfTheWholePipeline)
{
    struct Case
    {
        int step;
        qreal progress;
        int value;
    };
    const Case cases[] = {
        {1, 0.0, 0}, {1, 0.6, 500}, {1, 1.2, 1000}, {1, 1.3, 1000}, {0, 0.575, 500}, {0, 1.15, 1000}, {1, -0.1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "step " << c.step << ", progress " << c.progress);
        WindowFixture f(c.step);
        emit f.engine->updateProgress(c.progress);
        EXPECT_EQ(f.ui()->totalProgressBar->value(), c.value);
    }
}

TEST(MainWindow, FinishedRunHandsOverAfterOneSecondAndCloses)
{
    struct Case
    {
        const char *name;
        int step;
        QString versionString;
        QStringList arguments; // of the started program
    };
    const Case cases[] = {
        {"step two starts the client", 1, "3.7.2", {}},
        {"step one starts the new updater", 0, "", {"--clientupdate", "client_linux_x86", "7", "#"}},
        {"step one passes the version string", 0, "3.7 beta", {"--clientupdate", "client_linux_x86", "7", "3.7 beta"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WindowFixture f(c.step);
        f.config.m_versionString = c.versionString;
        f.engine->outcomes[Stage::PostInstall] = ScriptedTask::Stay;
        f.window.show();
        f.window.onStartUpdate();
        ScriptedTask *postInstall = waitForStage(f, Stage::PostInstall);
        ASSERT_NE(postInstall, nullptr);
        // Step two runs the installation's run script, step one the new updater in the session directory.
        f.config.m_installDir = f.box.path("installed client");
        const QString dir = c.step == 1 ? f.config.m_installDir : f.config.m_tempDir;
        const RecordingScript program(dir + (c.step == 1 ? "/cv5client_runscript.sh" : "/update"));
        ASSERT_TRUE(program.created());

        QElapsedTimer sinceFinish;
        postInstall->setFinished();
        sinceFinish.start();
        EXPECT_TRUE(f.window.isVisible());
        const RecordingScript::Run run = program.waitForRun();
        ASSERT_TRUE(run.seen);
        EXPECT_GE(sinceFinish.elapsed(), 900);
        EXPECT_EQ(run.workingDir, QDir(dir).canonicalPath());
        EXPECT_EQ(run.arguments, c.arguments);
        EXPECT_TRUE(waitUntil([&] { return !f.window.isVisible(); }));
    }
}

TEST(MainWindow, CancelOrFailureLeavesTheWindowOpenWithTheCancelBox)
{
    struct Case
    {
        const char *name;
        ScriptedTask::Outcome outcome;
        bool abortedLine; // the engine's "User aborted update" for a main task that ended in error
    };
    const Case cases[] = {{"a stage is cancelled", ScriptedTask::Cancel, false},
                          {"a stage fails", ScriptedTask::Fail, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WindowFixture f(1);
        f.engine->outcomes[Stage::Downloads] = c.outcome;
        f.window.show();
        BoxAnswerer boxes;
        int barWhileBoxOpen = -1;
        boxes.setHook([&](const BoxAnswerer::Box &) { barWhileBoxOpen = f.ui()->totalProgressBar->value(); });

        f.window.onStartUpdate();

        ASSERT_TRUE(waitUntil([&] { return boxes.boxes().size() == 1 && !QApplication::activeModalWidget(); }));
        const BoxAnswerer::Box box = boxes.boxes().first();
        EXPECT_EQ(box.title, "Update");
        EXPECT_EQ(box.text, "Update cancelled. Push \"Details\" to check reasons.");
        EXPECT_EQ(box.icon, QMessageBox::Critical);
        EXPECT_EQ(box.buttons, QMessageBox::Ok);
        EXPECT_EQ(barWhileBoxOpen, 0);
        EXPECT_TRUE(f.text().endsWith("Update cancelled")) << f.text().toStdString();
        EXPECT_EQ(f.text().contains("User aborted update"), c.abortedLine);
        EXPECT_EQ(f.engine->state(), UpdateEngine::PRE_INIT);
        EXPECT_TRUE(f.window.isVisible());

        // The run is not started again, and the window now closes without a question.
        ScriptedMainTask *first = f.engine->lastTask;
        emit f.config.ready();
        EXPECT_EQ(f.engine->lastTask, first);
        f.window.close();
        EXPECT_FALSE(f.window.isVisible());
        EXPECT_EQ(boxes.boxes().size(), 1);
    }
}

TEST(MainWindow, EngineErrorGoesToTheTextViewAndAnErrorBox)
{
    WindowFixture f(1);
    ASSERT_TRUE(f.ini.block()); // the session record cannot be written
    f.window.show();
    BoxAnswerer boxes;

    f.window.onStartUpdate();

    const QString reason = "Failed to write update.ini. The updater does not seem to have the required write "
                           "permissions.";
    ASSERT_EQ(boxes.boxes().size(), 1);
    EXPECT_EQ(boxes.boxes().first().title, "Error");
    EXPECT_EQ(boxes.boxes().first().text, reason);
    EXPECT_EQ(boxes.boxes().first().icon, QMessageBox::Critical);
    EXPECT_TRUE(f.text().contains(reason));
    EXPECT_EQ(f.engine->state(), UpdateEngine::PRE_INIT);
    EXPECT_TRUE(f.window.isVisible());
}

TEST(MainWindow, ServerTextIsShownAsPlainTextInTheTextViewAndEveryBox)
{
    // A download is refused for its Content-Encoding header, whose value the server chose; its text reaches the
    // text view with the value in it. Markup in it must show as the characters it is made of.
    const char kAbcSha512[] =
        "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3"
        "feebbd454d4423643ce80e2a9ac94fa54ca49f";
    const QByteArray markup = "<b style=\"color:red;font-size:xx-large\">Licence expired: call +1 555 0100</b>";
    HttpTestServer server;
    ASSERT_TRUE(server.start());
    server.setContent("/7/client/a.dat", "abc");
    server.addFault("/7/client/a.dat", HttpTestServer::Fault::withStatus(200, {{"Content-Encoding", markup}}), -1);
    const QString savedBaseUrl = updateBaseUrl;
    updateBaseUrl = server.baseUrl();

    WindowFixture f(1);
    f.engine->realStages = {Stage::Downloads};
    f.engine->prepare = [&](Stage stage, ScriptedTask *) {
        if (stage == Stage::ProductIni)
            f.engine->lastTask->updateData.downloads.append({"client", "a.dat", QString(kAbcSha512), 3});
    };
    f.window.show();
    BoxAnswerer boxes;
    f.window.onStartUpdate();
    ASSERT_TRUE(waitUntil([&] { return boxes.titles().contains("Update"); }, 30000));
    updateBaseUrl = savedBaseUrl;

    const QString refused = "client/a.dat was sent with content encoding " + QString::fromLatin1(markup);
    EXPECT_TRUE(f.text().split('\n').contains(refused)) << f.text().toStdString();
    // Nothing of the text view was formatted: no run of it is bold or larger than the rest.
    for (QTextBlock block = f.ui()->outputTextEdit->document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            EXPECT_FALSE(format.hasProperty(QTextFormat::FontWeight)) << block.text().toStdString();
            EXPECT_FALSE(format.hasProperty(QTextFormat::ForegroundBrush)) << block.text().toStdString();
        }
    }

    // An engine error and a fatal error carry such texts into boxes: shown as plain text.
    emit f.engine->error(refused);
    EXPECT_EQ(runApplication([&] { emit f.engine->fatalError(refused); }), 2);
    const QList<BoxAnswerer::Box> shown = boxes.boxes();
    ASSERT_EQ(shown.size(), 3);
    for (int i : {1, 2}) {
        EXPECT_EQ(shown[i].title, "Error");
        EXPECT_EQ(shown[i].text, refused);
        EXPECT_EQ(shown[i].textFormat, Qt::PlainText);
    }
}

TEST(MainWindow, FatalErrorsEndTheProgramWithTheirExitCodes)
{
    struct Case
    {
        const char *name;
        QByteArray ini; // the program directory's "update.ini" while the engine is built
        bool blockTempDir; // TMPDIR names a file, so no session directory can be made; the run is started
        QString text;
        int exitCode;
    };
    const Case cases[] = {
        {"engine: unusable proxy", "[update]\nproxy=host:3128\n", false,
         "'host:3128' is an invalid proxy specification", 2},
        {"configuration: no temporary directory", {}, true, "Unable to create temp directory.", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WindowFixture f(1, c.ini);
        if (c.blockTempDir) {
            ASSERT_TRUE(Sandbox::writeFile(f.box.path("not a directory"), "x"));
            f.box.setEnv("TMPDIR", QFile::encodeName(f.box.path("not a directory")));
        }
        f.window.show();
        BoxAnswerer boxes;
        // The engine reports an unusable proxy from the event loop by itself.
        const int code = runApplication([&] {
            if (c.blockTempDir)
                f.window.onStartUpdate();
        });
        EXPECT_EQ(code, c.exitCode);
        ASSERT_EQ(boxes.boxes().size(), 1);
        EXPECT_EQ(boxes.boxes().first().title, "Error");
        EXPECT_EQ(boxes.boxes().first().text, c.text);
        EXPECT_EQ(boxes.boxes().first().icon, QMessageBox::Critical);
    }
}

// The box "Error" runs its own event loop, where the 2000 ms start and a version answer's ready() still
// arrive: after a fatal error they start nothing, and the program ends with the error's code.
TEST(MainWindow, FatalErrorBeforeTheStartLetsNoRunStartWhileItsBoxIsOpen)
{
    struct Case
    {
        const char *name;
        QByteArray ini; // the program directory's "update.ini" while the engine is built
        QString configurationError; // raised by the configuration; empty: the engine reports by itself
        QString text;
        int exitCode;
    };
    const Case cases[] = {
        {"engine: unusable proxy",
         "[update]\nproxy=host:3128\n",
         {},
         "'host:3128' is an invalid proxy specification",
         2},
        {"configuration: unusable version answer",
         {},
         "Update server returned no version",
         "Update server returned no version",
         1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WindowFixture f(1, c.ini);
        f.window.show();
        BoxAnswerer boxes;
        int stateWhileBoxOpen = -1;
        boxes.setHook([&](const BoxAnswerer::Box &) {
            f.window.onStartUpdate(); // what the start timer calls
            emit f.config.ready();
            QCoreApplication::processEvents();
            stateWhileBoxOpen = f.engine->state();
        });
        const int code = runApplication([&] {
            if (!c.configurationError.isEmpty())
                emit f.config.fatalError(c.configurationError);
        });
        EXPECT_EQ(code, c.exitCode);
        EXPECT_EQ(boxes.titles(), QStringList({"Error"}));
        EXPECT_EQ(boxes.boxes().first().text, c.text);
        EXPECT_EQ(stateWhileBoxOpen, UpdateEngine::PRE_INIT);
        EXPECT_EQ(f.engine->lastTask, nullptr);
        EXPECT_FALSE(QFileInfo::exists(f.box.tempDir() + "/corvalink_temp_0")); // no session either
        EXPECT_EQ(f.window.outcome(), "fatal");
    }
}

// A fatal error in the middle of a run cancels it at once; the program ends with 2 only after the run has
// stopped, that is after its replacement has rolled back, and shows no cancel box on the way.
TEST(MainWindow, FatalErrorDuringARunExitsOnlyOnceTheRunHasStopped)
{
    WindowFixture f(1);
    f.engine->outcomes[Stage::Replacement] = ScriptedTask::Stay;
    f.window.show();
    f.window.onStartUpdate();
    ScriptedTask *replacement = waitForStage(f, Stage::Replacement);
    ASSERT_NE(replacement, nullptr);

    BoxAnswerer boxes;
    bool cancelledWhileBoxOpen = false;
    boxes.setHook([&](const BoxAnswerer::Box &) {
        cancelledWhileBoxOpen = replacement->cancelRequested() && f.engine->state() == UpdateEngine::RUNNING;
    });
    bool runningAfterTheBox = false;
    const int code = runApplication([&] {
        emit f.engine->fatalError("The disk is full");
        // The box is closed; an exit now would come before this call.
        QTimer::singleShot(0, [&] {
            runningAfterTheBox = f.engine->state() == UpdateEngine::RUNNING;
            f.window.close(); // asks nothing: the run is stopping already
            replacement->setError(); // the replacement has rolled back
        });
    });
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(cancelledWhileBoxOpen);
    EXPECT_TRUE(runningAfterTheBox);
    EXPECT_EQ(f.engine->state(), UpdateEngine::CANCELED);
    EXPECT_EQ(boxes.titles(), QStringList({"Error"}));
    EXPECT_FALSE(f.text().contains("Update cancelled"));
    EXPECT_EQ(f.window.outcome(), "fatal");
}

TEST(MainWindow, ClosingAnIdleWindowAsksNothing)
{
    WindowFixture f(1);
    f.window.show();
    BoxAnswerer boxes;
    const int code = runApplication([&] { f.window.close(); });
    EXPECT_EQ(code, 0); // the last window closed
    EXPECT_FALSE(f.window.isVisible());
    EXPECT_TRUE(boxes.boxes().isEmpty());
}

TEST(MainWindow, ClosingDuringAnUpdateAsksFirstAndYesCancelsAndExits)
{
    WindowFixture f(1);
    f.engine->outcomes[Stage::Replacement] = ScriptedTask::Stay;
    f.window.show();
    f.window.onStartUpdate();
    ScriptedTask *replacement = waitForStage(f, Stage::Replacement);
    ASSERT_NE(replacement, nullptr);

    BoxAnswerer boxes;
    boxes.answer("Question", QMessageBox::No);
    f.window.close();
    ASSERT_EQ(boxes.boxes().size(), 1);
    const BoxAnswerer::Box question = boxes.boxes().first();
    EXPECT_EQ(question.text, "<p>Update in progress.</p><p>Are you sure you want to abort?</p>");
    EXPECT_EQ(question.icon, QMessageBox::Question);
    EXPECT_EQ(question.buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(question.defaultButton, QMessageBox::NoButton);
    // No: the run goes on and the window stays.
    EXPECT_TRUE(f.window.isVisible());
    EXPECT_EQ(f.engine->state(), UpdateEngine::RUNNING);
    EXPECT_FALSE(replacement->cancelRequested());

    // Yes: the run is cancelled; the program quits with 0 once the engine reports it, and further close
    // attempts meanwhile are ignored without a question.
    boxes.answer("Question", QMessageBox::Yes);
    bool stillRunningAfterYes = false;
    const int code = runApplication([&] {
        f.window.close();
        stillRunningAfterYes = f.engine->state() == UpdateEngine::RUNNING && replacement->cancelRequested();
        f.window.close();
        replacement->setError(); // the replacement has rolled back
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(stillRunningAfterYes);
    EXPECT_EQ(boxes.titles(), QStringList({"Question", "Question"}));
    EXPECT_EQ(f.engine->state(), UpdateEngine::CANCELED);
    EXPECT_FALSE(f.text().contains("Update cancelled")); // no cancel box either
}

TEST(MainWindow, RebootAnswerWritesItsMarkerAndQuitsOnlyOnceTheEngineHasStopped)
{
    struct Case
    {
        const char *name;
        QMessageBox::StandardButton answer;
        const QString &marker;
    };
    const Case cases[] = {{"yes", QMessageBox::Yes, forceUpdateFileName},
                          {"no", QMessageBox::No, forceUpdateCheckFileName}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WindowFixture f(1);
        f.engine->outcomes[Stage::Replacement] = ScriptedTask::Stay;
        f.window.show();
        f.window.onStartUpdate();
        ScriptedTask *replacement = waitForStage(f, Stage::Replacement);
        ASSERT_NE(replacement, nullptr);

        BoxAnswerer boxes;
        boxes.answer("Confirm reboot", c.answer);
        bool waitedForEngine = false;
        const int code = runApplication([&] {
            f.window.onRebootWithConfirmation();
            // Still in the event loop: the replacement was asked to stop and may roll back first.
            waitedForEngine = replacement->cancelRequested() && f.engine->state() == UpdateEngine::RUNNING;
            replacement->setError();
        });
        EXPECT_EQ(code, 0);
        EXPECT_TRUE(waitedForEngine);
        ASSERT_EQ(boxes.boxes().size(), 1);
        const BoxAnswerer::Box box = boxes.boxes().first();
        EXPECT_EQ(box.text,
                  "<p>A computer restart is required to proceed with the client update. If you do not "
                  "reboot now, the Corvalink update will be cancelled.</p><p>Do you want to reboot "
                  "now?</p>");
        EXPECT_EQ(box.buttons, QMessageBox::Yes | QMessageBox::No);
        EXPECT_EQ(box.defaultButton, QMessageBox::Yes);
        EXPECT_TRUE(QFileInfo(f.box.tempDir() + "/" + c.marker).isFile());
        EXPECT_EQ(QFileInfo(f.box.tempDir() + "/" + c.marker).size(), 0);
        EXPECT_EQ(f.engine->state(), UpdateEngine::CANCELED);
        EXPECT_FALSE(f.text().contains("Update cancelled"));
    }
}

TEST(MainWindow, AnInstallCommandsRebootQuestionHoldsTheUpdateUntilItIsAnswered)
{
    // A real install command exits with 1010 and the user answers only after a while. Nothing after the command
    // may run meanwhile; either answer then ends the update cancelled (the reboot's marker written first), and
    // the program quits only once the engine has stopped.
    struct Case
    {
        const char *name;
        Stage commandStage;
        QMessageBox::StandardButton answer;
        const QString &marker;
        QList<Stage> notRun; // stages after the command, which must never start
    };
    const Case cases[] = {
        {"pre-install, yes",
         Stage::PreInstall,
         QMessageBox::Yes,
         forceUpdateFileName,
         {Stage::Replacement, Stage::Deletion, Stage::PostInstall}},
        {"pre-install, no",
         Stage::PreInstall,
         QMessageBox::No,
         forceUpdateCheckFileName,
         {Stage::Replacement, Stage::Deletion, Stage::PostInstall}},
        {"post-install, yes", Stage::PostInstall, QMessageBox::Yes, forceUpdateFileName, {}},
        {"post-install, no", Stage::PostInstall, QMessageBox::No, forceUpdateCheckFileName, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WindowFixture f(1);
        f.engine->realStages = {c.commandStage};
        QStringList events;
        f.engine->prepare = [&](Stage stage, ScriptedTask *task) {
            if (stage == Stage::ProductIni) {
                // The session's temporary directory exists by now; planning would have filled the list.
                ASSERT_TRUE(Sandbox::writeFile(f.config.m_tempDir + "/reboot.sh", "#!/bin/sh\nexit 1010\n"));
                UpdateData &plan = f.engine->lastTask->updateData;
                (c.commandStage == Stage::PreInstall ? plan.preInstall : plan.postInstall)
                    .append({"reboot.sh", {}, true});
            }
            if (c.notRun.contains(stage))
                QObject::connect(task, &TaskSpecification::finished, [&] { events << "a later stage ran"; });
        };
        QObject::connect(f.engine, &UpdateEngine::updateCanceled, [&] { events << "engine cancelled"; });
        QObject::connect(f.engine, &UpdateEngine::updateFinished, [&] { events << "engine finished"; });
        QMetaObject::Connection quit =
            QObject::connect(qApp, &QCoreApplication::aboutToQuit, [&] { events << "quit"; });
        f.window.show();

        BoxAnswerer boxes;
        boxes.answer("Confirm reboot", c.answer);
        boxes.setHook([&](const BoxAnswerer::Box &) {
            QTest::qWait(1500); // the user takes a while; the command has long ended
            EXPECT_EQ(f.engine->state(), UpdateEngine::RUNNING); // held by the command, not ended behind the box
            EXPECT_TRUE(f.text().contains("reboot.sh completed sucessfully, reboot required"));
            events << "answered";
        });
        const int code = runApplication([&] { f.window.onStartUpdate(); });
        QObject::disconnect(quit);

        EXPECT_EQ(code, 0);
        EXPECT_EQ(boxes.titles(), QStringList({"Confirm reboot"}));
        EXPECT_EQ(events, QStringList({"answered", "engine cancelled", "quit"}));
        EXPECT_TRUE(QFileInfo(f.box.tempDir() + "/" + c.marker).isFile());
        EXPECT_EQ(f.engine->state(), UpdateEngine::CANCELED);
        EXPECT_FALSE(f.text().contains("Update cancelled")); // the user's answer, not a failure: no box
        EXPECT_TRUE(f.window.isVisible()); // quit, not closed: no hand-over to the client
    }
}

TEST(MainWindow, RebootAnswerQuitsAtOnceWhenTheRunHasEnded)
{
    // The run finishes while the question is open: no hand-over, and the answer quits at once.
    WindowFixture f(1);
    f.engine->outcomes[Stage::PostInstall] = ScriptedTask::Stay;
    f.window.show();
    f.window.onStartUpdate();
    ScriptedTask *postInstall = waitForStage(f, Stage::PostInstall);
    ASSERT_NE(postInstall, nullptr);
    // A directory where the marker belongs: the answer cannot be stored, which the text view reports.
    ASSERT_TRUE(QDir().mkpath(f.box.tempDir() + "/" + forceUpdateCheckFileName));

    BoxAnswerer boxes;
    boxes.answer("Confirm reboot", QMessageBox::No);
    boxes.setHook([&](const BoxAnswerer::Box &) { postInstall->setFinished(); });
    const int code = runApplication([&] { f.window.onRebootWithConfirmation(); });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(boxes.titles(), QStringList({"Confirm reboot"}));
    EXPECT_EQ(f.engine->state(), UpdateEngine::FINISHED);
    EXPECT_TRUE(f.text().contains("Failed to store force update notice"));
    EXPECT_TRUE(f.window.isVisible()); // quit, not closed: no hand-over to the client
}

TEST(MainWindow, RebootMarkersAreNeverWrittenThroughALinkNorIntoAnotherUsersFile)
{
    // Another local user plants an entry under the marker's name in the shared temporary directory.
    struct Case
    {
        const char *name;
        bool link; // a link to the victim's own file; else a file of another user
        bool stored;
    };
    const Case cases[] = {{"link to the user's own file", true, true}, {"another user's file", false, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WindowFixture f(1);
        const QString marker = f.box.tempDir() + "/" + forceUpdateFileName;
        const QString victim = f.box.path("victim");
        ASSERT_TRUE(Sandbox::writeFile(victim, "the user's data"));
        if (c.link) {
            ASSERT_TRUE(QFile::link(victim, marker));
        } else {
            ASSERT_TRUE(Sandbox::writeFile(marker, "another user's data"));
            if (chown(QFile::encodeName(marker).constData(), 65534, 65534) != 0)
                GTEST_SKIP() << "giving a file to another user needs root";
        }

        f.window.write_force_update_file(forceUpdateFileName);
        f.window.delete_force_update_files(); // step two: removes nothing

        EXPECT_EQ(Sandbox::readFile(victim), "the user's data");
        const QFileInfo info(marker);
        if (c.stored) {
            EXPECT_FALSE(info.isSymLink());
            EXPECT_TRUE(info.isFile());
            EXPECT_EQ(info.size(), 0);
            EXPECT_EQ(info.ownerId(), geteuid());
        } else {
            EXPECT_EQ(Sandbox::readFile(marker), "another user's data");
            EXPECT_TRUE(f.text().contains("Failed to store force update notice"));
        }
        // No temporary name is left beside it.
        EXPECT_EQ(QDir(f.box.tempDir()).entryList({"*force_update*"}, QDir::AllEntries | QDir::Hidden | QDir::System),
                  QStringList {forceUpdateFileName});
        // Step one clears markers of its own only.
        f.config.m_clientUpdate = 0;
        f.window.delete_force_update_files();
        EXPECT_EQ(QFileInfo::exists(marker), !c.stored);
    }
}

TEST(MainWindow, StepOneRemovesTheRebootMarkersOfAnEarlierRun)
{
    for (int step : {0, 1}) {
        SCOPED_TRACE(step);
        WindowFixture f(step);
        const QString markers[] = {f.box.tempDir() + "/cv5_force_update", f.box.tempDir() + "/cv5_force_update_check"};
        for (const QString &marker : markers)
            ASSERT_TRUE(Sandbox::writeFile(marker, ""));
        f.window.delete_force_update_files();
        for (const QString &marker : markers)
            EXPECT_EQ(QFileInfo::exists(marker), step == 1) << marker.toStdString();
    }
}

#include "mainwindow_test.moc"

TEST(MainWindow, StepOneWithoutANewUpdaterToStartEndsInErrorNotSuccess)
{
    struct Case
    {
        const char *name;
        bool directoryInItsPlace; // an entry named "update" that is no program; else none at all
    };
    const Case cases[] = {{"no updater in the session directory", false}, {"a directory named update", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WindowFixture f(0);
        f.window.show();
        BoxAnswerer boxes;
        const int code = runApplication([&] {
            f.engine->prepare = [&](Stage stage, ScriptedTask *) {
                if (stage == Stage::PostInstall && c.directoryInItsPlace)
                    QDir().mkpath(f.config.m_tempDir + "/update/inner");
            };
            f.window.onStartUpdate();
        });

        EXPECT_EQ(code, 2);
        ASSERT_EQ(boxes.boxes().size(), 1);
        EXPECT_EQ(boxes.boxes().first().title, "Error");
        EXPECT_EQ(boxes.boxes().first().text, "Failed to start the new updater " + f.config.m_tempDir + "/update");
        EXPECT_EQ(boxes.boxes().first().icon, QMessageBox::Critical);
    }
}
