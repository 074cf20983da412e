// Downloads a list of files the way the update's download step does: the list task with "streams" files at
// once on one network access manager, the counters pulled once a second as the engine does, and every file
// checked against its SHA-512. Meant for whole-process measurements (time, memory), side by side with other
// clients on the same tree; see download_list.sh.
//
// Usage: download_list_bench <base-url> <version> <manifest> <target-dir> [streams]
// The manifest has one line per file: "<section> <name> <size> <sha512-hex>", with "-" for no digest (then, as
// in an update, the server must hold the file's ".sig" too, and the signature is checked after the download).
// A file with a digest is checked while it arrives. Exit code 0 when every file arrived and matched.
#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "globals.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: %s <base-url> <version> <manifest> <target-dir> [streams]\n", argv[0]);
        return 2;
    }
    updateBaseUrl = args[1].endsWith('/') ? args[1] : args[1] + '/';

    QList<DownloadEntry> downloads;
    QFile manifest(args[3]);
    if (!manifest.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(args[3]));
        return 2;
    }
    QTextStream in(&manifest);
    while (!in.atEnd()) {
        const QStringList f = in.readLine().split(' ', Qt::SkipEmptyParts);
        if (f.size() == 4)
            downloads << DownloadEntry{f[0], f[1], f[3] == "-" ? QString() : f[3], f[2].toULongLong()};
    }

    Configuration config;
    config.m_version = args[2].toInt();
    config.m_tempDir = args[4];
    config.m_streams = args.size() > 5 ? args[5].toInt() : 6;

    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    DownloadFileListTaskSpecification list(&downloads, &manager, &config, nullptr, 1.0);
    QStringList failures;
    QObject::connect(&list, &TaskSpecification::message, [&failures](const QString &text) {
        if (text.contains("failed") || text.contains("Unable") || text.contains("timed out") ||
            text.contains("returned"))
            failures << text;
    });
    QTimer pull;
    QObject::connect(&pull, &QTimer::timeout, [&list] {
        quint64 received = 0, total = 0, sinceLastPoll = 0;
        bool active = false;
        list.getDownloadProgress(received, total, sinceLastPoll, active);
    });
    QObject::connect(&list, &TaskSpecification::finished, &app, &QCoreApplication::quit);
    QObject::connect(&list, &TaskSpecification::canceled, &app, &QCoreApplication::quit);

    QElapsedTimer clock;
    clock.start();
    pull.start(1000);
    QTimer::singleShot(0, &list, &DownloadFileListTaskSpecification::execute);
    app.exec();

    quint64 bytes = 0;
    for (const DownloadEntry &e : downloads)
        bytes += e.size;
    const double seconds = clock.elapsed() / 1000.0;
    std::printf("updater: %d files, %llu bytes, %.2f s, %.1f MB/s, state %d, %d failure messages\n",
                int(downloads.size()), static_cast<unsigned long long>(bytes), seconds,
                seconds > 0 ? bytes / seconds / 1e6 : 0.0, list.state(), int(failures.size()));
    for (const QString &f : failures.mid(0, 5))
        std::printf("  %s\n", qPrintable(f));
    return list.state() == TASK_FINISHED ? 0 : 1;
}
