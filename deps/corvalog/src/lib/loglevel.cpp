#include "loglevel.h"

#include "log.h"

#include <array>

namespace corvalog {

namespace {

const std::array<std::string, 6> &levelNames()
{
    // Built on first use; the static initialisation is thread-safe, so concurrent loggers are fine.
    static const std::array<std::string, 6> names {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    return names;
}

} // namespace

const std::string &logLevelName(int level)
{
    return levelNames()[static_cast<size_t>(level)];
}

const std::string &logLevelToString(int level)
{
    if (static_cast<unsigned>(level) >= 6u)
        logMessage(
            "Assertion \"lvl >= 0 && lvl <= LogLevel_DEVEL\" failed at ../../../../deps/corvalog/src/lib/log:216; ",
            LogLevel_CRITICAL, std::string(), 0);
    return logLevelName(level);
}

} // namespace corvalog
