#pragma once

#include <cstdint>
#include <sstream>
#include <string>

namespace corvapatch {

// Collects one log line with << and hands it to the logging library when it goes out of scope, with an empty
// channel and id 0. Levels: 1 errors, 2 warnings, 3 statistics and notes (0 would end the process).
class LogStream
{
public:
    explicit LogStream(int level) : m_level(level) { }
    ~LogStream();
    LogStream(const LogStream &) = delete;
    LogStream &operator=(const LogStream &) = delete;

    template <typename T>
    LogStream &operator<<(const T &value)
    {
        m_text << value;
        return *this;
    }

private:
    std::string m_channel;
    uint64_t m_id = 0;
    std::ostringstream m_text;
    int m_level;
};

} // namespace corvapatch
