// The updater's main job on a local demo: a version-1 client installation, a version-2 update tree (the
// updater's package and the client's) served by nginx on 127.0.0.1, and the real "update" started in the
// installation as a user starts it: step one assembles the new updater and hands over to it, which runs step
// two and starts the client. Prints what happened.
// Usage: client_update_demo <update program> <demo directory>   (scripts/demo.sh builds both and runs it)
#include "support/clientfixture.h"
#include "support/nginxserver.h"
#include "support/treesnapshot.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTextStream>
#include <QThread>

#include <sys/stat.h>

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

int fail(const QString &why)
{
    QTextStream(stderr) << "demo: " << why << "\n";
    return 1;
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QStringLiteral("(none)");
}

QString modeText(unsigned mode)
{
    return QString::number(mode, 8).rightJustified(4, '0');
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return fail("usage: client_update_demo <update program> <demo directory>");
    const QString program = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    const QString root = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();

    // A fresh demo each time, with its own temporary, home and configuration directories.
    QDir(root).removeRecursively();
    const QString inst = root + "/Corvalink Client";
    for (const QString &dir : {root + "/tmp", root + "/home", root + "/config", inst}) {
        if (!QDir().mkpath(dir))
            return fail("cannot create " + dir);
    }
    clientfixture::Options options;
    options.startRecord = root + "/client-started.txt";
    clientfixture::UpdaterOptions updater;
    updater.program = program;
    updater.startRecord = root + "/updater-started.txt";
    if (!clientfixture::writeInstallation(inst, options))
        return fail("cannot lay out the installation in " + inst);
    if (!clientfixture::writeUpdateTree(root + "/server", options) ||
        !clientfixture::writeUpdaterTree(root + "/server", updater))
        return fail("cannot lay out the update tree (does this build have its development key?)");
    const QString installed = inst + "/update";
    if (!QFile::copy(program, installed) || chmod(QFile::encodeName(installed).constData(), 0755) != 0)
        return fail("cannot copy " + program + " into the installation");
    // The updater's translations beside it, as an installation has them.
    const QDir translations(QFileInfo(program).absolutePath() + "/translations");
    for (const QString &name : translations.entryList({"update_*.qm"}, QDir::Files))
        QFile::copy(translations.filePath(name), inst + "/translations/" + name);

    NginxServer server;
    if (!server.start(root + "/server"))
        return fail(server.errorText());
    {
        QSettings ini(inst + "/update.ini", QSettings::IniFormat);
        ini.setValue("Channel/alpha", server.baseUrl() + clientfixture::kChannelPath);
        ini.setValue("Channel/alphaRevno", clientfixture::kVersion);
    }
    QFile(root + "/tmp/cv5_update_log").open(QIODevice::WriteOnly);

    const TreeSnapshot before = snapshotTree(inst);
    const bool display = !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    out() << "Installation:  " << inst << "\n"
          << "Update server: " << server.baseUrl() << clientfixture::kChannelPath << " (nginx, " << root + "/server"
          << ")\n"
          << "Version before: " << readText(inst + "/version.txt") << "\n"
          << "Running: update, as a user starts it" << (display ? " (window)" : " (offscreen, no display)") << "\n";
    out().flush();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", root + "/tmp");
    env.insert("HOME", root + "/home");
    env.insert("CV5_CONFIG_DIR", root + "/config/");
    if (!display)
        env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess update;
    update.setProcessEnvironment(env);
    update.setWorkingDirectory(inst);
    update.setProcessChannelMode(QProcess::ForwardedChannels);
    update.start(installed, QStringList());
    if (!update.waitForStarted(30000) || !update.waitForFinished(300000)) {
        update.kill();
        update.waitForFinished(10000);
        return fail("update did not end; its log is in " + root + "/tmp/corvalink_update_log");
    }
    out() << "Step one: update ended with exit code " << update.exitCode() << "\n";
    out().flush();

    // The new updater is started detached as step one ends; its script notes its start and its program's end.
    const QDeadlineTimer stepTwo(300000);
    while (!QFile::exists(updater.startRecord + ".exit") && !stepTwo.hasExpired())
        QThread::msleep(200);
    bool stepTwoOk = false;
    if (QFile::exists(updater.startRecord)) {
        const QStringList record = readText(updater.startRecord).split('\n');
        out() << "Step two: the new update (mode " << record.value(1) << ") started in " << record.value(0)
              << " with: " << record.mid(4).join(' ') << "\n";
        const QString exitCode = readText(updater.startRecord + ".exit");
        stepTwoOk = exitCode == "0";
        out() << "Step two: ended with exit code " << exitCode << "\n";
    } else {
        out() << "Step two: the new updater was not started\n";
    }
    out() << "Session directory left: "
          << (QDir(root + "/tmp").entryList({"corvalink_temp_*"}, QDir::Dirs).isEmpty() ? "none" : "yes") << "\n"
          << "Version after:  " << readText(inst + "/version.txt") << "\n";

    const TreeSnapshot after = snapshotTree(inst);
    const auto ignored = [](const QString &path) { return path == "update" || path == "update.ini"; };
    out() << "Changes in the installation:\n";
    for (const auto &entry : after) {
        if (ignored(entry.first))
            continue;
        const auto old = before.find(entry.first);
        if (old == before.end())
            out() << "  added     " << entry.first << " (mode " << modeText(entry.second.mode) << ")\n";
        else if (old->second != entry.second)
            out() << "  replaced  " << entry.first << " (mode " << modeText(old->second.mode) << " -> "
                  << modeText(entry.second.mode) << ")\n";
    }
    for (const auto &entry : before) {
        if (!ignored(entry.first) && after.find(entry.first) == after.end())
            out() << "  deleted   " << entry.first << "\n";
    }

    // The client's run script is started detached as the updater ends; give it a moment to note its start.
    const QDeadlineTimer deadline(15000);
    while (!QFile::exists(options.startRecord) && !deadline.hasExpired())
        QThread::msleep(100);
    if (QFile::exists(options.startRecord)) {
        const QStringList record = readText(options.startRecord).split('\n');
        out() << "Client started: cv5client_runscript.sh in " << record.value(0) << " with " << record.value(1)
              << " arguments\n";
    } else {
        out() << "Client started: no\n";
    }
    out() << "Log of the run: " << root << "/tmp/corvalink_update_log/\n";
    return update.exitCode() == 0 && stepTwoOk && QFile::exists(options.startRecord) ? 0 : 1;
}
