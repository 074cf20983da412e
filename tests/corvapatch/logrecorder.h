#pragma once

#include "logbase.h"

#include <string>
#include <vector>

// Collects the messages the patch engine writes to the logging library while it exists.
class LogRecorder : public corvalog::LogBase
{
public:
    void flush() override { }
    void onBroadcast2(uint32_t, uint32_t) override { }
    void write(const std::string &message, int level, const std::string &, uint64_t, const std::string &,
               const std::string &) override
    {
        messages.push_back(message);
        levels.push_back(level);
    }

    // The messages in one line, separator between each two.
    std::string joined(const std::string &separator) const
    {
        std::string line;
        for (size_t i = 0; i < messages.size(); ++i)
            line += (i == 0 ? "" : separator) + messages[i];
        return line;
    }

    std::vector<std::string> messages;
    std::vector<int> levels;
};
