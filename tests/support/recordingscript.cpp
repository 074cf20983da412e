#include "recordingscript.h"

#include "sandbox.h"
#include "scriptedtasks.h"

#include <QFile>
#include <QFileInfo>

namespace {
const char kScript[] = "#!/bin/sh\n"
                       "{ pwd -P; echo \"$#\"; for a in \"$@\"; do echo \"$a\"; done; } > \"$0.part\"\n"
                       "mv \"$0.part\" \"$0.seen\"\n";
}

RecordingScript::RecordingScript(const QString &path)
    : m_path(path)
{
    m_created = Sandbox::writeFile(path, kScript) &&
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool RecordingScript::ran() const
{
    return QFileInfo::exists(m_path + ".seen");
}

RecordingScript::Run RecordingScript::waitForRun(int timeoutMs) const
{
    Run run;
    if (!waitUntil([this] { return ran(); }, timeoutMs))
        return run;
    QStringList lines = QString::fromUtf8(Sandbox::readFile(m_path + ".seen")).split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    run.seen = true;
    run.workingDir = lines.value(0);
    run.argumentCount = lines.value(1).toInt();
    run.arguments = lines.mid(2);
    return run;
}
