#include "logstream.h"

#include "log.h"

namespace corvapatch {

LogStream::~LogStream()
{
    // A destructor must not throw; a line that cannot be formatted for lack of memory is dropped.
    try {
        corvalog::logMessage(m_text.str(), m_level, m_channel, m_id);
    } catch (...) {
    }
}

} // namespace corvapatch
