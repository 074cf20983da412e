#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <map>

// A fresh directory per test, with TMPDIR, HOME and CV5_CONFIG_DIR pointing into it. The path contains a
// space, so that unquoted paths fail. The previous environment comes back on destruction.
class Sandbox
{
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    QString root() const { return m_dir.path(); }
    QString tempDir() const { return root() + "/tmp"; }      // what QDir::tempPath() now returns
    QString homeDir() const { return root() + "/home"; }     // what QDir::homePath() now returns
    QString configDir() const { return root() + "/config/"; } // CV5_CONFIG_DIR, with its separator
    QString path(const QString &relative) const { return root() + "/" + relative; }

    void setEnv(const char *name, const QByteArray &value);  // restored on destruction
    void unsetEnv(const char *name);

    static bool writeFile(const QString &path, const QByteArray &contents); // creates parent directories
    static QByteArray readFile(const QString &path);

private:
    void remember(const char *name);

    QTemporaryDir m_dir;
    std::map<QByteArray, std::pair<bool, QByteArray>> m_saved; // name -> (was set, old value)
};
