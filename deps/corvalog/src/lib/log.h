#pragma once

#include "loglevel.h"

#include <cstdint>
#include <string>

namespace corvalog {

// Called after a CRITICAL line has gone to the sinks, just before the process ends.
using LogCriticalCallback = void (*)(const std::string &message, const std::string &channel, uint64_t id,
                                     const std::string &timestamp, const std::string &line);

// Formats one line and hands it to every registered sink. Lines above the maximum level are not formatted.
// A level-0 (CRITICAL) message ends the process with exit status 1, whether or not it was written.
// Takes no lock: it only reads the process-wide settings below.
void logMessage(const std::string &message, int level, const std::string &channel = std::string(), uint64_t id = 0);

// The line header "timestamp|LEVEL   |channel       |id |" followed by the message, whose continuation lines
// are indented by the header's width.
std::string formatLogLine(const std::string &message, int level, const std::string &channel, uint64_t id,
                          const std::string &timestamp);

// Process-wide settings; not synchronised with concurrent logging.
void setLogLevel(int maximumLevel);
void setLogUseLocalTime(bool useLocalTime);
void setLogTimestampFormat(int form);
void setLogCriticalCallback(LogCriticalCallback callback);
int logLevel();
bool logUseLocalTime();
int logTimestampFormat();

} // namespace corvalog
