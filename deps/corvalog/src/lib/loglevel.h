#pragma once

#include <string>

namespace corvalog {

// Severity of a log line; 0 is the most severe. A CRITICAL line ends the process.
enum LogLevel : int {
    LogLevel_CRITICAL = 0,
    LogLevel_ERROR = 1,
    LogLevel_WARNING = 2,
    LogLevel_DEBUG = 3,
    LogLevel_INFO = 4,
    LogLevel_DEVEL = 5,
};

// The name of a level 0..5, unchecked: the caller guarantees the range.
const std::string &logLevelName(int level);

// The name of a level; a level outside 0..5 writes an assertion line at CRITICAL, which ends the process.
const std::string &logLevelToString(int level);

} // namespace corvalog
