#include "logtimestamp.h"

#include "log.h"

#include <boost/format.hpp>

#include <cstdio>
#include <ctime>
#include <sys/time.h>

namespace corvalog {

namespace {

std::string fraction(uint32_t microseconds)
{
    if (microseconds == 0)
        return std::string();
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, ".%06u", static_cast<unsigned>(microseconds % 1000000));
    return buffer;
}

} // namespace

std::string formatLogTimestamp(int64_t unixSeconds, uint32_t microseconds, bool localTime, int form)
{
    const time_t seconds = static_cast<time_t>(unixSeconds);
    struct tm parts = {};
    if (localTime)
        localtime_r(&seconds, &parts);
    else
        gmtime_r(&seconds, &parts);

    char buffer[64];
    if (form == 0 || form == 2) {
        std::snprintf(buffer, sizeof buffer, "%04d%02d%02dT%02d%02d%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                      parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
        std::string basic = std::string(buffer) + fraction(microseconds);
        if (form == 2)
            return basic;
        basic[8] = ' ';
        basic.insert(4, 1, '-');
        basic.insert(7, 1, '-');
        basic.insert(13, 1, ':');
        basic.insert(16, 1, ':');
        if (basic.size() < 20)
            basic += '.';
        return (boost::format("%026s") % basic).str();
    }
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return std::string(buffer) + fraction(microseconds);
}

std::string formatLogTimestamp()
{
    struct timeval now = {};
    gettimeofday(&now, nullptr);
    return formatLogTimestamp(now.tv_sec, static_cast<uint32_t>(now.tv_usec), logUseLocalTime(), logTimestampFormat());
}

} // namespace corvalog
