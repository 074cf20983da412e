#include "configuration.h"

#include "globals.h"
#include "inisettings.h"
#include "runlog.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcessEnvironment>

#include <cstdlib>
#include <sys/stat.h>

namespace {
const char kIniFileName[] = "update.ini";
const char kClientUpdateFlag[] = "--clientupdate";
const char kNoUserFlag[] = "--nouser";
const char kNoVersionString[] = "#";
const char kTempDirPrefix[] = "corvalink_temp_";
constexpr int kMaxTempDirNumber = 999;
constexpr int kDefaultStreams = 6;

// Group "Channel"
const char kChannelGroup[] = "Channel";
const char kAlphaKey[] = "alpha";
const char kAlphaRevnoKey[] = "alphaRevno";
const char kBetaKey[] = "beta";
const char kBetaAltKey[] = "Beta";

// Group "update"
const char kUpdateGroup[] = "update";
const char kProxyKey[] = "proxy";
const char kStreamsKey[] = "streams";
} // namespace

Configuration::Configuration(QObject *parent)
    : QObject(parent)
{
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList &arguments)
{
    qDebug() << "parseCommandLineOptions" << arguments;
    const int count = arguments.size();
    m_clientUpdate = (count >= 2 && arguments[1] == kClientUpdateFlag) ? 1 : 0;

    // The channel may pre-set the target version, so it is looked up before any argument is read.
    getUpdateChannel();

    if (count >= 2 && (arguments[1] == kNoUserFlag || arguments[1] == kClientUpdateFlag)) {
        qDebug() << "CLIENTUPDATE" << (m_clientUpdate ? "true" : "false");
        if (count >= 4) {
            if (!parseClientParams(arguments, 2))
                return false;
            if (count >= 5 && arguments[4] != kNoVersionString)
                m_versionString = arguments[4];
        }
        getDefaultParameters();
    } else if (count == 3) {
        // The plain form names everything itself: no defaults, and a version of 0 asks no server.
        if (!parseClientParams(arguments, 1))
            return false;
    } else {
        qDebug() << "Empty cmdline params";
        getDefaultParameters();
    }

    m_valid = !m_versionQueryStarted;
    return true;
}

void Configuration::getUpdateChannel()
{
    qDebug() << "Searching update.ini";
    QString found;
    const QString configIni = configDir() + kIniFileName;
    const bool configExists = QFile::exists(configIni);
    qDebug() << "Update ini check #1 in CONFIG" << configIni << (configExists ? "true" : "false");
    if (configExists) {
        qDebug() << "Found CONFIG/update.ini";
        found = configIni;
    } else {
        const QString installIni = QCoreApplication::applicationDirPath() + "/" + kIniFileName;
        const bool installExists = QFile::exists(installIni);
        qDebug() << "Update ini check #2 in INSTALL" << installIni << (installExists ? "true" : "false");
        if (installExists) {
            qDebug() << "Found INSTALL/update.ini";
            found = installIni;
        }
    }

    if (found.isEmpty()) {
        m_channel = 0;
        m_version = 0;
        updateBaseUrl = defaultUpdateBaseUrl();
        qDebug() << "No update.ini found, using stable channel, URL =" << updateBaseUrl;
        return;
    }

    IniSettings settings(found);
    settings.beginGroup(kChannelGroup);
    const QString alpha = settings.value(kAlphaKey, QString()).toString();
    bool beta = settings.value(kBetaKey, false).toBool();
    if (!beta)
        beta = settings.value(kBetaAltKey, false).toBool();

    if (!alpha.isEmpty()) {
        m_channel = 2;
        m_version = settings.value(kAlphaRevnoKey, 0).toInt();
        updateBaseUrl = alpha.endsWith('/') ? alpha : alpha + '/';
        qDebug() << "Alpha channel detected, URL =" << updateBaseUrl;
    } else {
        m_channel = beta ? 1 : 0;
        m_version = 0;
        updateBaseUrl = defaultUpdateBaseUrl();
        qDebug() << (beta ? "Beta" : "Stable") << "channel detected, URL =" << updateBaseUrl;
    }
    settings.endGroup();
}

bool Configuration::parseClientParams(const QStringList &arguments, int index)
{
    m_clientType = arguments[index];
    return parseVersion(arguments[index + 1], tr("Invalid version nr (%1)"));
}

bool Configuration::getDefaultParameters()
{
    qDebug() << "getDefaultParameters" << m_clientType;
    if (m_clientType.isEmpty())
        m_clientType = packageType(m_clientUpdate != 0);
    qDebug() << "clientType" << m_clientType;

    if (m_version == 0) {
        // Without a target version the version server has to be asked; only its answer completes the
        // configuration.
        m_versionQueryStarted = true;
        auto *checker = new UpdateChecker(this);
        connect(checker, &UpdateChecker::update_available, this, &Configuration::on_updateAvailable);
        checker->checkForUpdates();
    }
    return true;
}

bool Configuration::parseVersion(const QString &text, const QString &errorTemplate)
{
    // A version pre-set by the alpha channel wins over anything else.
    if (m_version != 0)
        return true;

    bool ok = false;
    m_version = text.toInt(&ok, 10);
    if (ok)
        return true;

    m_version = 0;
    emit fatalError(errorTemplate.arg(text));
    return false;
}

void Configuration::on_updateAvailable(UpdateVersions versions)
{
    qDebug() << "on_updateAvailable" << versions;
    if (versions.isEmpty()) {
        QWidget *window = nullptr;
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == QLatin1String("MainWindow")) {
                window = widget;
                break;
            }
        }
        logShownBox(tr("Error"), tr("Failed to query latest client\nversion from update server."));
        QMessageBox::critical(window, tr("Error"), tr("Failed to query latest client\nversion from update server."),
                              QMessageBox::Abort);
        QCoreApplication::quit();
        return;
    }

    const QPair<QString, QString> version = UpdateChecker::versionForChannel(versions, m_channel);
    qDebug() << "Received version from remote server:" << version;
    if (version.first.isEmpty()) {
        emit fatalError(tr("Update server returned no version"));
        return;
    }
    if (!parseVersion(version.first, tr("Update server returned invalid version nr (%1)")))
        return;
    m_versionString = version.second;
    m_valid = true;
    emit ready();
}

bool Configuration::initalizeStart(const QString &tempDir, const QString &installDir)
{
    qDebug() << "initalizeStart" << tempDir << installDir;
    if (!tempDir.isEmpty())
        m_tempDir = tempDir;
    else if (!createTempDir())
        return false;

    m_installDir = installDir.isEmpty() ? QCoreApplication::applicationDirPath() : installDir;
    return true;
}

bool Configuration::createTempDir()
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        qDebug() << "*Error* Unable to get temp directory";
        emit fatalError("Unable to get temp directory.");
        return false;
    }
    if (!base.endsWith('/'))
        base += '/';
    base += kTempDirPrefix;

    for (int n = 0; n <= kMaxTempDirNumber; ++n) {
        const QString candidate = base + QString::number(n);
        // One mkdir that fails on any existing name, link or not: whatever is there may be another session's
        // or another user's. Private, since other users share the temporary directory.
        if (::mkdir(QFile::encodeName(candidate).constData(), 0700) == 0) {
            m_tempDir = candidate;
            return true;
        }
    }

    // Every numbered name is taken, perhaps by another user who wants to stop updates: a name nobody can
    // predict, made the same way (mode 0700, failing on an existing name).
    QByteArray pattern = QFile::encodeName(base) + "XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
        m_tempDir = QFile::decodeName(pattern);
        qDebug() << "Numbered session directories taken, using" << m_tempDir;
        return true;
    }

    qDebug() << "*Error* Unable to create temp directory";
    emit fatalError("Unable to create temp directory.");
    return false;
}

QString Configuration::configDir() const
{
    QString dir = QProcessEnvironment::systemEnvironment().value("CV5_CONFIG_DIR");
    if (dir.isEmpty())
        return QDir::homePath() + "/.cv5client/";
    if (!dir.endsWith(QDir::separator()))
        dir += QDir::separator();
    return dir;
}

void Configuration::readUpdateIni()
{
    IniSettings settings(applicationDir() + "/" + kIniFileName);
    settings.beginGroup(kUpdateGroup);
    m_proxy = settings.value(kProxyKey, QString()).toString();
    // toInt() gives 0 for text that is not a number, so that falls back to the default as well.
    m_streams = settings.value(kStreamsKey, kDefaultStreams).toInt();
    if (m_streams < 1)
        m_streams = kDefaultStreams;
    settings.endGroup();
}

QString Configuration::packageType(bool client)
{
    return QString(client ? "client" : "update") + "_linux_x86";
}

QString Configuration::applicationDir()
{
    return QCoreApplication::applicationDirPath();
}

QString Configuration::runScriptName()
{
    return QStringLiteral("cv5client_runscript.sh");
}

bool Configuration::detectClientBinary(const QString &dir) const
{
    if (dir.isEmpty())
        return false;
    return QFile::exists(dir + "/cv5client_linux_x86") || QFile::exists(dir + "/cv5client_linux_amd64");
}
