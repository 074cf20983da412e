#include "logbase.h"

namespace corvalog {

LogSinkList &globalSinkList()
{
    // A function-local static, so that a sink constructed during static initialisation finds the list ready.
    static LogSinkList list;
    return list;
}

LogBase::LogBase()
    : m_position(addSinkToList(globalSinkList(), this))
{
}

LogBase::~LogBase()
{
    removeSinkFromList(globalSinkList(), m_position);
}

void LogBase::onBroadcast(uint32_t) { }

LogSinkList::iterator addSinkToList(LogSinkList &list, LogBase *sink)
{
    return list.insert(list.end(), sink);
}

void removeSinkFromList(LogSinkList &list, LogSinkList::iterator position)
{
    list.erase(position);
}

void logToSinkList(LogSinkList &list, const std::string &message, int level, const std::string &channel, uint64_t id,
                   const std::string &timestamp, const std::string &line)
{
    if (line.empty())
        return;
    for (LogBase *sink : list) {
        sink->write(message, level, channel, id, timestamp, line);
        if (level == 0)
            sink->flush();
    }
}

void flushSinkList(LogSinkList &list)
{
    for (LogBase *sink : list)
        sink->flush();
}

void broadcastToSinkList(LogSinkList &list, uint32_t value)
{
    for (LogBase *sink : list)
        sink->onBroadcast(value);
}

void broadcastToSinkList2(LogSinkList &list, uint32_t first, uint32_t second)
{
    for (LogBase *sink : list)
        sink->onBroadcast2(first, second);
}

void broadcastToSinks(uint32_t value)
{
    broadcastToSinkList(globalSinkList(), value);
}

void broadcastToSinks2(uint32_t first, uint32_t second)
{
    broadcastToSinkList2(globalSinkList(), first, second);
}

} // namespace corvalog
