#include "globals.h"

QString updateBaseUrl;

const QStringList specialFileNames = {
    "cv5client_linux_x86", "cv5client_linux_amd64", "cv5client_runscript.sh", "update",
    "error_report", "package_inst", "QtWebEngineProcess",
};

const QStringList specialFileSuffixes = {"so", "so.0", "so.1", "so.4", "so.5"};

const QString logTimestampFormat = "yyyy-MM-dd hh:mm:ss:zzz";

const QString forceUpdateFileName = "cv5_force_update";
const QString forceUpdateCheckFileName = "cv5_force_update_check";

std::string versionQueryUrl = std::string("http://") + CORVALINK_VERSION_HOST + "/cv5-client-2";
const std::string defaultVersionString;

QString defaultUpdateBaseUrl()
{
    return QStringLiteral("http://" CORVALINK_FILE_HOST "/updater-images/client/");
}
