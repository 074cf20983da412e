#pragma once

#include "updatechecker.h"

#include <QObject>
#include <QString>
#include <QStringList>

// The run's settings: command line, update channel, package type, target version, the session's
// directories and the download settings of "update.ini". Tasks read the fields directly.
class Configuration : public QObject
{
    Q_OBJECT
public:
    explicit Configuration(QObject *parent = nullptr);

    // Reads QCoreApplication::arguments(). False when the command line is unusable; fatalError has
    // been emitted then.
    bool parseCommandLineOptions();
    // The same for a given argument list; arguments[0] is the program name.
    bool parseCommandLineOptions(const QStringList &arguments);

    // Looks up the channel in the first "update.ini" found (configuration directory, then the program's
    // directory). Sets m_channel, m_version (alpha channel only) and updateBaseUrl.
    void getUpdateChannel();
    // m_clientType = arguments[index], target version from arguments[index + 1]. Both must exist.
    bool parseClientParams(const QStringList &arguments, int index);
    // Fills in the package type when none was given and asks the version server when no target
    // version is known. Always true.
    bool getDefaultParameters();
    // Sets m_version from text unless it is already set. On a text that is not a number, emits
    // fatalError(errorTemplate.arg(text)) and returns false.
    bool parseVersion(const QString &text, const QString &errorTemplate);

    // Sets the session's directories: tempDir, or a newly created one when it is empty; installDir, or
    // the program's directory when it is empty. False (after fatalError) when no directory could be made.
    bool initalizeStart(const QString &tempDir, const QString &installDir);
    // Creates the first free "corvalink_temp_<n>" (n = 0..999) in the system's temporary directory.
    bool createTempDir();

    // The client's configuration directory, always ending in a separator.
    QString configDir() const;
    // Reads group "update" ("proxy", "streams") of the program directory's "update.ini".
    void readUpdateIni();

    // ("client" or "update") + "_linux_x86".
    static QString packageType(bool client);
    // The program's own directory.
    static QString applicationDir();
    static QString runScriptName();
    // True when dir holds one of the client's executables.
    bool detectClientBinary(const QString &dir) const;

    bool m_valid = false;
    int m_clientUpdate = 0; // 0: step one (update the updater), 1: step two (update the client)
    int m_channel = 0; // 0 stable, 1 beta, 2 alpha
    QString m_clientType;
    int m_version = 0; // 0: not known yet
    QString m_versionString;
    QString m_tempDir; // without trailing separator
    QString m_installDir;
    QString m_proxy;
    int m_streams = 0;

public slots:
    // The version server's answer. Takes the chosen channel's version and emits ready; an empty answer
    // ends the program (exit code 0) after telling the user, a missing or unusable version is a fatal error.
    void on_updateAvailable(UpdateVersions versions);

signals:
    // The target version arrived from the version server.
    void ready();
    void fatalError(const QString &text);
    void message(const QString &text);

private:
    // Set when getDefaultParameters had to ask the version server; the configuration stays
    // incomplete until the answer is accepted.
    bool m_versionQueryStarted = false;
};
