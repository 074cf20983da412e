#pragma once

#include <cstdint>
#include <string>

namespace corvalog {

// Timestamp of a log line for the given moment, in UTC or local time. Form 0: "YYYY-MM-DD HH:MM:SS.ffffff"
// (the fraction only when non-zero, else a lone "."), passed through "%026s"; form 2: the ISO basic form
// "YYYYMMDDTHHMMSS[.ffffff]"; any other form: the ISO extended form "YYYY-MM-DDTHH:MM:SS[.ffffff]".
std::string formatLogTimestamp(int64_t unixSeconds, uint32_t microseconds, bool localTime, int form);

// The same for the current time, with the process-wide time zone and form settings.
std::string formatLogTimestamp();

} // namespace corvalog
