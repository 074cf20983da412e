#pragma once

#include <string>

namespace corvapatch {

// Writes why an engine call failed to the logging library, at ERROR level.
void LogError(const std::string &message);

} // namespace corvapatch
