#pragma once

#include <cstdint>
#include <list>
#include <string>

namespace corvalog {

class LogBase;
using LogSinkList = std::list<LogBase *>;

// An output target for log lines. Constructing one registers it at the back of the process-wide sink list;
// destroying it removes exactly that entry. Registration is not synchronised with concurrent logging.
class LogBase
{
public:
    LogBase();
    virtual ~LogBase();
    LogBase(const LogBase &) = delete;
    LogBase &operator=(const LogBase &) = delete;

    virtual void flush() = 0;
    virtual void onBroadcast2(uint32_t first, uint32_t second) = 0;
    // `line` is the formatted line (header and message, no trailing newline); the other arguments are its parts.
    virtual void write(const std::string &message, int level, const std::string &channel, uint64_t id,
                       const std::string &timestamp, const std::string &line) = 0;
    virtual void onBroadcast(uint32_t value);

private:
    LogSinkList::iterator m_position;
};

// The process-wide list that LogBase registers with. Lives until process exit.
LogSinkList &globalSinkList();

LogSinkList::iterator addSinkToList(LogSinkList &list, LogBase *sink);
void removeSinkFromList(LogSinkList &list, LogSinkList::iterator position);
// Writes one formatted line to every sink of the list; at level 0 each sink is flushed right after its write.
// An empty line writes nothing.
void logToSinkList(LogSinkList &list, const std::string &message, int level, const std::string &channel, uint64_t id,
                   const std::string &timestamp, const std::string &line);
void flushSinkList(LogSinkList &list);
void broadcastToSinkList(LogSinkList &list, uint32_t value);
void broadcastToSinkList2(LogSinkList &list, uint32_t first, uint32_t second);
void broadcastToSinks(uint32_t value);
void broadcastToSinks2(uint32_t first, uint32_t second);

} // namespace corvalog
