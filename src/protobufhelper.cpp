#include "protobufhelper.h"

#include <google/protobuf/stubs/common.h>
#include <google/protobuf/stubs/logging.h>

#include <QDebug>
#include <QString>

#include <string>

namespace {
// Oldest runtime library the generated messages work with.
constexpr int kMinimumLibraryVersion = 3000000;

// The runtime's lines as the updater's own: with logging off they go nowhere, with logging on into the log
// file. A fatal line is written as critical; the runtime itself ends the process after it.
void logProtobufLine(google::protobuf::LogLevel level, const char *filename, int line, const std::string &message)
{
    const QString text = QStringLiteral("libprotobuf %1:%2: %3")
                             .arg(QString::fromLocal8Bit(filename))
                             .arg(line)
                             .arg(QString::fromStdString(message));
    switch (level) {
    case google::protobuf::LOGLEVEL_INFO:
        qInfo().noquote() << text;
        break;
    case google::protobuf::LOGLEVEL_WARNING:
        qWarning().noquote() << text;
        break;
    default:
        qCritical().noquote() << text;
        break;
    }
}
} // namespace

void initProtobuf()
{
    // Checked against the headers this file was compiled with: naming a fixed older version here
    // would make the runtime refuse every newer library. Aborts through the runtime on a mismatch.
    google::protobuf::internal::VerifyVersion(GOOGLE_PROTOBUF_VERSION, kMinimumLibraryVersion, "src/protobufhelper");
    google::protobuf::SetLogHandler(&logProtobufLine);
}

void shutdownProtobuf()
{
    google::protobuf::ShutdownProtobufLibrary();
}
