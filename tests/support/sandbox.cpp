#include "sandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

Sandbox::Sandbox()
    : m_dir(QDir::cleanPath(QDir::tempPath()) + "/corvalink test XXXXXX")
{
    QDir().mkpath(tempDir());
    QDir().mkpath(homeDir());
    QDir().mkpath(configDir());
    setEnv("TMPDIR", QFile::encodeName(tempDir()));
    setEnv("HOME", QFile::encodeName(homeDir()));
    setEnv("CV5_CONFIG_DIR", QFile::encodeName(configDir()));
    // The updater's single-instance socket goes under HOME then, like everything else of a run.
    unsetEnv("XDG_RUNTIME_DIR");
}

Sandbox::~Sandbox()
{
    for (const auto &[name, old] : m_saved) {
        if (old.first)
            qputenv(name.constData(), old.second);
        else
            qunsetenv(name.constData());
    }
}

void Sandbox::remember(const char *name)
{
    if (m_saved.count(name) == 0)
        m_saved[name] = {qEnvironmentVariableIsSet(name), qgetenv(name)};
}

void Sandbox::setEnv(const char *name, const QByteArray &value)
{
    remember(name);
    qputenv(name, value);
}

void Sandbox::unsetEnv(const char *name)
{
    remember(name);
    qunsetenv(name);
}

bool Sandbox::writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(contents) == contents.size();
}

QByteArray Sandbox::readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
