#include "UpdateMessage.pb.h"
#include "versioninfo.h"

#include <globals.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

using namespace std::string_literals;

namespace {

// Channels as the server sends them, each one field 2 of Versions (tag 0x12, length) around the
// Channel fields name (0x0A), version_number (0x10) and version_string (0x1A).
const std::string kStable = "\x12\x10"
                            "\x0A\x06"
                            "stable"
                            "\x10\x0A"
                            "\x1A\x04"
                            "1.10";
const std::string kBeta = "\x12\x13"
                          "\x0A\x04"
                          "beta"
                          "\x10\x0B"
                          "\x1A\x09"
                          "1.11-beta";
const std::string kAlpha = "\x12\x10"
                           "\x0A\x05"
                           "alpha"
                           "\x10\x0C"
                           "\x1A\x05"
                           "1.12a";
const std::string kId7 = "\x08\x07";
const std::string kMin5 = "\x18\x05";

using Entry = std::tuple<std::string, int32_t, std::string>;

struct Record
{
    int32_t licenseAgreementId;
    int32_t licenseAgreementIdMin;
    std::vector<std::string> names;
    std::vector<Entry> versions; // channelVersions in key order
};

void expectRecord(const VersionInfo &info, const Record &expected)
{
    EXPECT_EQ(info.licenseAgreementId, expected.licenseAgreementId);
    EXPECT_EQ(info.licenseAgreementIdMin, expected.licenseAgreementIdMin);
    EXPECT_EQ(info.channelNames, expected.names);
    std::vector<Entry> versions;
    for (const auto &[name, version] : info.channelVersions)
        versions.emplace_back(name, version.version_number, version.version_string);
    EXPECT_EQ(versions, expected.versions);
}

struct ValidCase
{
    const char *name;
    std::string bytes;
    Record expected;
};

TEST(ParseVersions, DecodesValidAnswers)
{
    const ValidCase cases[] = {
        {"three channels",
         kId7 + kStable + kBeta + kAlpha + kMin5,
         {7,
          5,
          {"stable", "beta", "alpha"},
          {{"alpha", 12, "1.12a"}, {"beta", 11, "1.11-beta"}, {"stable", 10, "1.10"}}}},
        {"id only", kId7, {7, 0, {}, {}}},
        {"fields in any order", kMin5 + kAlpha + kId7, {7, 5, {"alpha"}, {{"alpha", 12, "1.12a"}}}},
        {"scalar twice keeps the last", "\x08\x01"s + kId7 + "\x18\x01" + kMin5, {7, 5, {}, {}}},
        {"same name twice: first version wins",
         kId7 + kStable +
             "\x12\x10"
             "\x0A\x06"
             "stable"
             "\x10\x0B"
             "\x1A\x04"
             "1.11",
         {7, 0, {"stable", "stable"}, {{"stable", 10, "1.10"}}}},
        {"empty strings and zero version", kId7 + "\x12\x06\x0A\x00\x10\x00\x1A\x00"s, {7, 0, {""}, {{"", 0, ""}}}},
        // int32 -1 and -2 travel as ten-byte varints (sign-extended to 64 bits).
        {"negative numbers",
         "\x08\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01"
         "\x18\xFD\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01"
         "\x12\x16"
         "\x0A\x06"
         "stable"
         "\x10\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01"
         "\x1A\x01"
         "x"s,
         {-2, -3, {"stable"}, {{"stable", -1, "x"}}}},
        // Field 4 as varint, 5 as length-delimited, 6 as fixed32, 7 as fixed64; field 4 inside a channel.
        {"unknown fields are skipped",
         kId7 + "\x20\x2A\x2A\x02XY\x35\x01\x02\x03\x04\x39\x01\x02\x03\x04\x05\x06\x07\x08"s +
             "\x12\x13"
             "\x0A\x06"
             "stable"
             "\x22\x01Z"
             "\x10\x0A"
             "\x1A\x04"
             "1.10",
         {7, 0, {"stable"}, {{"stable", 10, "1.10"}}}},
    };
    for (const ValidCase &c : cases) {
        SCOPED_TRACE(c.name);
        VersionInfo info;
        ASSERT_EQ(parseVersions(c.bytes.data(), static_cast<int>(c.bytes.size()), &info), PARSE_OK);
        expectRecord(info, c.expected);
    }
}

struct InvalidCase
{
    const char *name;
    std::string bytes;
    std::optional<int> size = std::nullopt; // default: all of bytes
};

TEST(ParseVersions, RejectsIncompleteOrMalformedAnswersAndLeavesRecordUntouched)
{
    const std::string threeChannels = kId7 + kStable + kBeta + kAlpha;
    const InvalidCase cases[] = {
        {"empty", ""},
        {"no licenseAgreementId", kStable + kMin5},
        {"channel without name",
         kId7 +
             "\x12\x08"
             "\x10\x0A"
             "\x1A\x04"
             "1.10"},
        {"channel without version_number",
         kId7 +
             "\x12\x0E"
             "\x0A\x06"
             "stable"
             "\x1A\x04"
             "1.10"},
        {"channel without version_string",
         kId7 + kStable +
             "\x12\x0A"
             "\x0A\x06"
             "stable"
             "\x10\x0A"},
        {"tag without value", "\x08"},
        {"varint cut short", "\x08\xFF"},
        {"over-long varint", "\x08\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01"},
        {"last byte missing", threeChannels, static_cast<int>(threeChannels.size()) - 1},
        {"channel length beyond the end",
         kId7 +
             "\x12\x10"
             "\x0A\x06"
             "st"},
        {"string length beyond the channel",
         kId7 +
             "\x12\x04"
             "\x0A\x06"
             "stable"},
        {"huge channel length", kId7 + "\x12\xFF\xFF\xFF\xFF\x0F"},
        {"invalid wire type", kId7 + "\x0F"},
        {"an HTML error page", "<html><body>502 Bad Gateway</body></html>"},
        {"negative size", kId7, -2},
    };
    for (const InvalidCase &c : cases) {
        SCOPED_TRACE(c.name);
        const int size = c.size.value_or(static_cast<int>(c.bytes.size()));
        VersionInfo info;
        info.licenseAgreementId = 99;
        info.channelNames = {"kept"};
        info.channelVersions["kept"] = {1, "one"};
        EXPECT_EQ(parseVersions(c.bytes.data(), size, &info), PARSE_ERROR);
        expectRecord(info, {99, 0, {"kept"}, {{"kept", 1, "one"}}});
    }
}

TEST(ParseVersions, NullDataIsNoData)
{
    VersionInfo info;
    EXPECT_EQ(parseVersions(nullptr, 2, &info), PARSE_NO_DATA);
    expectRecord(info, {0, 0, {}, {}});
}

// Field names reach the generated accessors and reflection, so their spelling is part of the protocol.
TEST(UpdateMessage, SchemaMatchesTheProtocol)
{
    using google::protobuf::FieldDescriptor;
    struct Field
    {
        const google::protobuf::Descriptor *message;
        const char *name;
        int number;
        FieldDescriptor::Label label;
        FieldDescriptor::Type type;
    };
    const auto *channel = com::corvalink::update::Channel::descriptor();
    const auto *versions = com::corvalink::update::Versions::descriptor();
    EXPECT_EQ(channel->full_name(), "com.corvalink.update.Channel");
    EXPECT_EQ(versions->full_name(), "com.corvalink.update.Versions");
    EXPECT_EQ(versions->file()->name(), "UpdateMessage.proto");
    EXPECT_EQ(versions->file(), channel->file());
    EXPECT_EQ(channel->field_count(), 3);
    EXPECT_EQ(versions->field_count(), 3);
    const Field fields[] = {
        {channel, "name", 1, FieldDescriptor::LABEL_REQUIRED, FieldDescriptor::TYPE_STRING},
        {channel, "version_number", 2, FieldDescriptor::LABEL_REQUIRED, FieldDescriptor::TYPE_INT32},
        {channel, "version_string", 3, FieldDescriptor::LABEL_REQUIRED, FieldDescriptor::TYPE_STRING},
        {versions, "licenseAgreementId", 1, FieldDescriptor::LABEL_REQUIRED, FieldDescriptor::TYPE_INT32},
        {versions, "channels", 2, FieldDescriptor::LABEL_REPEATED, FieldDescriptor::TYPE_MESSAGE},
        {versions, "licenseAgreementIdMin", 3, FieldDescriptor::LABEL_OPTIONAL, FieldDescriptor::TYPE_INT32},
    };
    for (const Field &f : fields) {
        SCOPED_TRACE(f.name);
        const FieldDescriptor *field = f.message->FindFieldByName(f.name);
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->number(), f.number);
        EXPECT_EQ(field->label(), f.label);
        EXPECT_EQ(field->type(), f.type);
    }
    EXPECT_EQ(versions->FindFieldByName("channels")->message_type(), channel);
}

TEST(DefaultVersionsUrl, IsThePlainHttpQueryEndpoint)
{
    std::string url = "left over";
    getDefaultVersionsUrl(url);
    EXPECT_EQ(url, versionQueryUrl);
    EXPECT_EQ(url.rfind("http://", 0), 0u);
    EXPECT_EQ(url.substr(url.size() - 13), "/cv5-client-2");
    EXPECT_EQ(url.find('?'), std::string::npos);
}

} // namespace
