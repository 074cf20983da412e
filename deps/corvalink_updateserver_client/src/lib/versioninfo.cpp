#include "versioninfo.h"

#include "UpdateMessage.pb.h"

#include <globals.h>

void getDefaultVersionsUrl(std::string &url)
{
    url = versionQueryUrl;
}

int parseVersions(const void *data, int size, VersionInfo *info)
{
    if (!data)
        return PARSE_NO_DATA;
    // A negative size would reach the runtime as a huge length, which it answers with an exception.
    if (size < 0)
        return PARSE_ERROR;
    com::corvalink::update::Versions message;
    // Fails on malformed wire data and on any missing required field, here or in a channel.
    if (!message.ParseFromArray(data, size))
        return PARSE_ERROR;
    fillVersionInfo(info, message);
    return PARSE_OK;
}

void fillVersionInfo(VersionInfo *info, const com::corvalink::update::Versions &message)
{
    info->licenseAgreementId = message.licenseagreementid();
    info->licenseAgreementIdMin = message.licenseagreementidmin();
    for (const com::corvalink::update::Channel &channel : message.channels()) {
        info->channelNames.push_back(channel.name());
        // emplace leaves an existing entry alone, so the first channel of a name wins.
        info->channelVersions.emplace(channel.name(),
                                      ChannelVersion {channel.version_number(), channel.version_string()});
    }
}
