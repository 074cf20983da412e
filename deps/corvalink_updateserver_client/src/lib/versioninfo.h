#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The version server's answer, decoded into plain types so that callers need no protobuf headers.

namespace com::corvalink::update {
class Versions;
} // namespace com::corvalink::update

struct ChannelVersion
{
    int32_t version_number = 0;
    std::string version_string;
};

struct VersionInfo
{
    int32_t licenseAgreementId = 0;
    int32_t licenseAgreementIdMin = 0; // 0 when the answer does not carry it
    std::vector<std::string> channelNames; // every channel in answer order, duplicates included
    std::map<std::string, ChannelVersion> channelVersions; // the first channel of each name
};

// Results of parseVersions().
constexpr int PARSE_OK = 0;
constexpr int PARSE_NO_DATA = 1; // data was null
constexpr int PARSE_ERROR = 2; // not a complete Versions message

// Assigns the version server's query URL (plain HTTP, GET) to url.
void getDefaultVersionsUrl(std::string &url);

// Decodes size bytes at data into info. info is filled only on PARSE_OK and is not cleared first,
// so pass an empty record; on any other result it is left untouched.
[[nodiscard]] int parseVersions(const void *data, int size, VersionInfo *info);

// Appends a decoded message to info; a channel name seen before keeps its first version.
void fillVersionInfo(VersionInfo *info, const com::corvalink::update::Versions &message);
