#include "logerror.h"

#include "log.h"

namespace corvapatch {

void LogError(const std::string &message)
{
    corvalog::logMessage(message, corvalog::LogLevel_ERROR, std::string(), 0);
}

} // namespace corvapatch
