// The version server's answer on arbitrary bytes: every input is either a complete Versions message or refused,
// and a refused one leaves the record untouched.
#include "versioninfo.h"

#include <google/protobuf/stubs/logging.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

// The runtime writes a line for every input that lacks a required field, nearly every input: on standard
// error that would be gigabytes of fuzzer log within minutes. The decoder's result is what is checked.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    google::protobuf::SetLogHandler(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > INT_MAX)
        return 0;
    VersionInfo info;
    const int result = parseVersions(data, static_cast<int>(size), &info);
    check(result == PARSE_OK || result == PARSE_ERROR);
    if (result != PARSE_OK) {
        check(info.channelNames.empty() && info.channelVersions.empty());
        check(info.licenseAgreementId == 0 && info.licenseAgreementIdMin == 0);
        return 0;
    }
    // Each decoded channel comes from a listed name; duplicates keep only their first version.
    check(info.channelVersions.size() <= info.channelNames.size());
    for (const auto &[name, version] : info.channelVersions)
        check(std::find(info.channelNames.begin(), info.channelNames.end(), name) != info.channelNames.end());
    return 0;
}
