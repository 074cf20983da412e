#include "printtrace.h"

#include "log.h"
#include "logbase.h"

#include <boost/format.hpp>

#include <cstdlib>
#include <cxxabi.h>
#include <execinfo.h>
#include <string>

namespace corvalog {

namespace {

constexpr int kMaxFrames = 15;

// backtrace_symbols gives "module(symbol+offset) [address]"; the symbol may be missing.
void splitFrame(const std::string &frame, std::string *function, std::string *module)
{
    const size_t open = frame.find('(');
    *module = frame.substr(0, open);
    *function = "<unknown>";
    if (open == std::string::npos)
        return;
    const size_t end = frame.find_first_of("+)", open + 1);
    if (end == std::string::npos || end == open + 1)
        return;
    const std::string mangled = frame.substr(open + 1, end - open - 1);
    int status = 0;
    char *demangled = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
    if (status == 0 && demangled) {
        std::string name = demangled;
        const size_t arguments = name.find('(');
        if (arguments != std::string::npos)
            name = name.substr(0, arguments) + "(...)";
        *function = name;
    } else {
        *function = mangled;
    }
    std::free(demangled);
}

} // namespace

void printTrace()
{
    logMessage("Printing Trace:", LogLevel_DEVEL, std::string(), 0);
    void *frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    char **symbols = backtrace_symbols(frames, count);
    if (!symbols)
        return;
    for (int i = 0; i < count; ++i) {
        std::string function, module;
        splitFrame(symbols[i], &function, &module);
        const std::string line =
            (boost::format("%4s%s in %s from %s") % "#" % std::to_string(i) % function % module).str();
        logToSinkList(globalSinkList(), line, LogLevel_DEVEL, std::string(), 0, std::string(), line);
    }
    std::free(symbols);
}

} // namespace corvalog
