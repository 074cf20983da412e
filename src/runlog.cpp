#include "runlog.h"

#include <QDebug>

namespace {
// One text, one log line: a line break inside a shown text would start a line without time and level.
QString oneLine(QString text)
{
    text.replace('\n', ' ');
    return text;
}
} // namespace

void logRunStart(const QStringList &arguments)
{
    qInfo().noquote() << "Updater version" << CORVALINK_UPDATER_VERSION;
    const bool stepTwo = arguments.size() > 1 && arguments.at(1) == QLatin1String("--clientupdate");
    qInfo().noquote() << (stepTwo ? "Step two: updating the client" : "Step one: updating the updater");
    qInfo() << "Command line:" << arguments;
}

void logShownText(const QString &text)
{
    qInfo().noquote() << "Shown:" << oneLine(text);
}

void logShownBox(const QString &title, const QString &text)
{
    qInfo().noquote() << QStringLiteral("Box \"%1\": %2").arg(title, oneLine(text));
}

void logRunEnd(const QString &outcome, int exitCode)
{
    qInfo().noquote() << QStringLiteral("Run ended: %1, exit code %2").arg(outcome).arg(exitCode);
}
