#include "log.h"

#include "logbase.h"
#include "logtimestamp.h"

#include <boost/format.hpp>

#include <cstdlib>

namespace corvalog {

namespace {

struct LogSettings
{
    int maximumLevel = LogLevel_DEVEL;
    bool useLocalTime = false;
    int timestampForm = 0;
    LogCriticalCallback criticalCallback = nullptr;
};

LogSettings &settings()
{
    static LogSettings values;
    return values;
}

// Known harmless messages of the client's database layer, dropped before anything else happens.
bool isNoise(const std::string &message, const std::string &channel)
{
    return channel == "DatabaseQuery" &&
        (message == "sqlite3_prepare failed no such column: string_id" ||
         message.find("db_exec() select * from instance_properties where string_id = '") != std::string::npos);
}

} // namespace

std::string formatLogLine(const std::string &message, int level, const std::string &channel, uint64_t id,
                          const std::string &timestamp)
{
    const std::string idText = id == 0 ? std::string() : std::to_string(id);
    // Levels beyond the table only arrive when the maximum level has been raised: stop with the assertion then.
    const std::string &levelText = static_cast<unsigned>(level) < 6u ? logLevelName(level) : logLevelToString(level);
    const std::string header = (boost::format("%s|%-8s|%-14s|%-3s|") % timestamp % levelText % channel % idText).str();

    std::string line = header;
    line.reserve(header.size() + message.size());
    const std::string continuation = "\n" + std::string(header.size(), ' ');
    for (char c : message) {
        if (c == '\n')
            line += continuation;
        else
            line += c;
    }
    return line;
}

void logMessage(const std::string &message, int level, const std::string &channel, uint64_t id)
{
    if (isNoise(message, channel))
        return;
    const LogSettings &current = settings();
    if (current.maximumLevel >= level) {
        const std::string timestamp = formatLogTimestamp();
        const std::string line = formatLogLine(message, level, channel, id, timestamp);
        for (LogBase *sink : globalSinkList()) {
            sink->write(message, level, channel, id, timestamp, line);
            if (level == LogLevel_CRITICAL)
                sink->flush();
        }
        if (level == LogLevel_CRITICAL && current.criticalCallback)
            current.criticalCallback(message, channel, id, timestamp, line);
    }
    if (level == LogLevel_CRITICAL)
        std::exit(1);
}

void setLogLevel(int maximumLevel)
{
    settings().maximumLevel = maximumLevel;
}

void setLogUseLocalTime(bool useLocalTime)
{
    settings().useLocalTime = useLocalTime;
}

void setLogTimestampFormat(int form)
{
    settings().timestampForm = form;
}

void setLogCriticalCallback(LogCriticalCallback callback)
{
    settings().criticalCallback = callback;
}

int logLevel()
{
    return settings().maximumLevel;
}

bool logUseLocalTime()
{
    return settings().useLocalTime;
}

int logTimestampFormat()
{
    return settings().timestampForm;
}

} // namespace corvalog
