#include "bytes.h"
#include "ensemblepatch.h"
#include "sinkstream.h"
#include "sourcestream.h"
#include "status.h"

#include "support/ensemblepatchwriter.h"
#include "support/lzma2blockwriter.h"
#include "support/patchpieces.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <functional>
#include <string>

using namespace corvapatch;
using patchwriter::ByteDiff;
using patchwriter::Descriptions;
using patchwriter::Element;
using patchwriter::EnsemblePatch;
using patchwriter::MakeEnsemblePatch;
using patchwriter::PredictedParameters;
using patchwriter::StoredLzma2Block;
using patchwriter::StreamSetBytes;

namespace {

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes bytes(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

struct Applied
{
    int status;
    Bytes output;
};

Applied applyPatch(const Bytes &old, const Bytes &patch)
{
    SourceStream oldStream, patchStream;
    oldStream.Init(old.data(), old.size());
    patchStream.Init(patch.data(), patch.size());
    SinkStream output;
    const int status = ApplyEnsemblePatchStreams(&oldStream, &patchStream, &output);
    return {status, bytesOf(output)};
}

// The patch's header as its parts give it.
Bytes headerOf(const EnsemblePatch &parts)
{
    SinkStream header;
    EXPECT_TRUE(header.WriteVarint32(parts.magic) && header.WriteVarint32(parts.version) &&
                header.WriteVarint32(parts.sourceCrc) && header.WriteVarint32(parts.targetCrc) &&
                header.WriteVarint32(parts.finalInputSize));
    return bytesOf(header);
}

// The header followed by a payload block holding exactly payload.
Bytes withPayload(const EnsemblePatch &parts, const Bytes &payload)
{
    return concat({headerOf(parts), StoredLzma2Block(payload)});
}

const Bytes kEmptySet = {0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00};

// By hand: a method-0 diff that copies 15 unchanged bytes (control 1E 00 00 is the triple 15, 0, 0).
const Bytes kKeepEmptySet = concat({{0x00, 0x0F, 0x03, 0x0F, 0x00, 0x1E, 0x00, 0x00}, Bytes(15, 0x00)});

} // namespace

TEST(EnsemblePatch, HandWrittenPatchTurnsAIntoB)
{
    // No elements. The final correction copies the one old byte and adds 1 to it: 41 + 01 = 42.
    const Bytes finalCorrection = {0x00, 0x01, 0x03, 0x01, 0x00, 0x02, 0x00, 0x00, 0x01};
    // The payload set: count 10, lengths 1, 23, 23, 9 and six empty streams, then the four streams.
    const Bytes payload = concat({{0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0x01, 0x17, 0x17, 0x09, 0x00, 0x00, 0x00, 0x00,
                                   0x00, 0x00, 0x00},
                                  kKeepEmptySet,
                                  kKeepEmptySet,
                                  finalCorrection});
    ASSERT_EQ(payload.size(), 71u);
    const Bytes patch = concat({{0xC3, 0xDE, 0xD5, 0x03}, // magic
                                {0x88, 0xB7, 0xCB, 0x09}, // version
                                {0xF4, 0xC2, 0x99, 0xE1, 0x02}, // crc of "A": 0x2C266174
                                {0xCE, 0xE1, 0xBC, 0xA9, 0x0B}, // crc of "B": 0xB52F30CE
                                {0x01}, // final input size: the old file alone
                                {0x00, 0x47, 0x01, 0x00, 0x46}, // block of 71 bytes in one stored chunk
                                payload,
                                {0x00}});
    const Applied result = applyPatch(bytes("A"), patch);
    EXPECT_EQ(result.status, Status::OK);
    EXPECT_EQ(result.output, bytes("B"));

    // The writer makes the same header and the same descriptions; its diffs may differ but apply the same way.
    EnsemblePatch made;
    ASSERT_EQ(MakeEnsemblePatch(bytes("A"), bytes("B"), {}, &made), Status::OK);
    const Bytes written = made.Serialize();
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 19), Bytes(patch.begin(), patch.begin() + 19));
    ASSERT_EQ(made.streams.size(), 4u);
    EXPECT_EQ(made.streams[0], Bytes {0x00});
    EXPECT_EQ(applyPatch(bytes("A"), written).output, bytes("B"));
}

TEST(EnsemblePatch, PredictionIsOneEmptyNestedSetPerElement)
{
    EXPECT_EQ(PredictedParameters(0), kEmptySet);
    EXPECT_EQ(PredictedParameters(2), (Bytes {0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Descriptions({{2, 5, 300, 0, 0}, {7, 0, 1, 0, 0}}),
              (Bytes {0x02, 0x02, 0x07, 0x05, 0xAC, 0x02, 0x00, 0x01}));
}

TEST(EnsemblePatch, PlainFilePatchesApply)
{
    Bytes old;
    for (int i = 0; i < 20000; ++i)
        old.push_back(static_cast<uint8_t>((i * 7) ^ (i >> 5)));
    Bytes edited = old;
    edited[100] ^= 0xFF;
    edited.erase(edited.begin() + 5000, edited.begin() + 5100);
    edited.insert(edited.begin() + 15000, 300, 'x');
    struct Case
    {
        const char *name;
        Bytes old;
        Bytes newData;
        bool compress;
    };
    const Case cases[] = {
        {"edited, stored payload", old, edited, false},
        {"edited, compressed payload", old, edited, true},
        {"to an empty file", old, {}, false},
        {"unchanged", bytes("same"), bytes("same"), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EnsemblePatch parts;
        ASSERT_EQ(MakeEnsemblePatch(c.old, c.newData, {}, &parts), Status::OK);
        parts.compress = c.compress;
        const Bytes patch = parts.Serialize();
        const Applied result = applyPatch(c.old, patch);
        EXPECT_EQ(result.status, Status::OK);
        EXPECT_EQ(result.output, c.newData);
    }

    // The final input size is only a reservation hint: none at all, or far more than the patch can produce.
    for (uint32_t hint : {0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(hint);
        EnsemblePatch parts;
        ASSERT_EQ(MakeEnsemblePatch(old, edited, {}, &parts), Status::OK);
        parts.finalInputSize = hint;
        EXPECT_EQ(applyPatch(old, parts.Serialize()).status, Status::OK);
    }
}

TEST(EnsemblePatch, EachBrokenPartFailsWithItsStatus)
{
    const Bytes old = bytes("old file");
    const Bytes newData = bytes("new file");
    EnsemblePatch plain;
    ASSERT_EQ(MakeEnsemblePatch(old, newData, {}, &plain), Status::OK);

    // One element over the whole old file. Its parameters are corrected to what was predicted; no parser
    // accepts the element, so nothing after its transformation is reached.
    EnsemblePatch element = plain;
    element.streams[0] = Descriptions({{2, 0, static_cast<uint32_t>(old.size()), 0, 0}});
    element.streams[1] = ByteDiff(PredictedParameters(1), PredictedParameters(1));

    const Bytes plainPayload = StreamSetBytes(plain.streams);
    using Change = std::function<Bytes()>;
    auto changed = [](EnsemblePatch parts, const std::function<void(EnsemblePatch &)> &change) {
        change(parts);
        return parts.Serialize();
    };
    auto stream = [&](const EnsemblePatch &base, size_t i, const Bytes &content) {
        return changed(base, [&](EnsemblePatch &p) { p.streams[i] = content; });
    };
    const Bytes plainBytes = plain.Serialize();
    struct Case
    {
        const char *name;
        Change patch;
        int status;
    };
    const Case cases[] = {
        {"no bytes at all", [] { return Bytes(); }, Status::BAD_MAGIC},
        {"another magic", [&] { return changed(plain, [](EnsemblePatch &p) { p.magic = 0x756F44; }); },
         Status::BAD_MAGIC},
        {"another version", [&] { return changed(plain, [](EnsemblePatch &p) { p.version = 20110215; }); },
         Status::BAD_VERSION},
        {"header ends after the version", [&] { return Bytes(plainBytes.begin(), plainBytes.begin() + 8); },
         Status::BAD_HEADER},
        {"header ends before the final input size",
         [&] {
             const Bytes header = headerOf(plain);
             return Bytes(header.begin(), header.end() - 1);
         },
         Status::BAD_HEADER},
        {"old file's crc differs", [&] { return changed(plain, [](EnsemblePatch &p) { p.sourceCrc ^= 1; }); },
         Status::CRC_MISMATCH},
        {"result's crc differs", [&] { return changed(plain, [](EnsemblePatch &p) { p.targetCrc ^= 1; }); },
         Status::CRC_MISMATCH},
        {"payload block missing", [&] { return headerOf(plain); }, Status::STREAM_ERROR},
        {"payload block cut short", [&] { return Bytes(plainBytes.begin(), plainBytes.end() - 1); },
         Status::STREAM_ERROR},
        {"payload not a stream set", [&] { return withPayload(plain, bytes("not a set")); }, Status::BAD_HEADER},
        {"payload set of no streams", [&] { return withPayload(plain, {0xEA, 0x9A, 0xCA, 0x09, 0x00}); },
         Status::BAD_HEADER},
        {"payload set of three streams", [&] { return changed(plain, [](EnsemblePatch &p) { p.streamCount = 3; }); },
         Status::BAD_HEADER},
        {"payload set of eleven streams",
         [&] {
             Bytes payload = plainPayload;
             payload[4] = 0x0B; // the count; an eleventh length of 0 follows the ten
             payload.insert(payload.begin() + 15, 0x00);
             return withPayload(plain, payload);
         },
         Status::BAD_HEADER},
        {"descriptions empty", [&] { return stream(plain, 0, {}); }, Status::BAD_HEADER},
        {"descriptions followed by a byte", [&] { return stream(plain, 0, {0x00, 0x00}); }, Status::BAD_HEADER},
        {"element kind 0", [&] { return stream(element, 0, {0x01, 0x00, 0x00, 0x08}); }, Status::BAD_HEADER},
        {"element kind 8", [&] { return stream(element, 0, {0x01, 0x08, 0x00, 0x08}); }, Status::BAD_HEADER},
        {"element kind cut short", [&] { return stream(element, 0, {0x01, 0x82}); }, Status::BAD_HEADER},
        {"element length missing", [&] { return stream(element, 0, {0x01, 0x02, 0x00}); }, Status::BAD_PARAMETERS},
        {"element one byte past the old file", [&] { return stream(element, 0, {0x01, 0x02, 0x01, 0x08}); },
         Status::BAD_PARAMETERS},
        {"element starting past the old file", [&] { return stream(element, 0, {0x01, 0x02, 0x09, 0x00}); },
         Status::BAD_PARAMETERS},
        {"parameter correction not a diff", [&] { return stream(plain, 1, {0x03}); }, Status::GENERAL_ERROR},
        {"corrected parameters not a set", [&] { return stream(plain, 1, ByteDiff(kEmptySet, bytes("xyz"))); },
         Status::STREAM_ERROR},
        {"corrected parameters with a byte left over",
         [&] { return stream(plain, 1, ByteDiff(kEmptySet, StreamSetBytes({{}, {0x58}}))); },
         Status::STREAM_NOT_CONSUMED},
        {"corrected parameters of no streams for an element",
         [&] { return stream(element, 1, ByteDiff(PredictedParameters(1), {0xEA, 0x9A, 0xCA, 0x09, 0x00})); },
         Status::STREAM_ERROR},
        {"element's corrected parameters not empty",
         [&] { return stream(element, 1, ByteDiff(PredictedParameters(1), StreamSetBytes({{0x01, 0x01, 0x58}}))); },
         Status::GENERAL_ERROR},
        {"element no parser accepts", [&] { return element.Serialize(); }, Status::INPUT_NOT_RECOGNISED},
        // The element is transformed while the payload is decoded; the old file's crc and the payload still
        // decide first.
        {"element's patch for another old file",
         [&] { return changed(element, [](EnsemblePatch &p) { p.sourceCrc ^= 1; }); }, Status::CRC_MISMATCH},
        {"element's payload cut short",
         [&] {
             const Bytes whole = element.Serialize();
             return Bytes(whole.begin(), whole.end() - 1);
         },
         Status::STREAM_ERROR},
        {"element correction not a diff", [&] { return stream(plain, 2, {0x03}); }, Status::GENERAL_ERROR},
        {"corrected elements not a set", [&] { return stream(plain, 2, ByteDiff(kEmptySet, bytes("xyz"))); },
         Status::STREAM_ERROR},
        {"corrected elements with a byte left over",
         [&] { return stream(plain, 2, ByteDiff(kEmptySet, StreamSetBytes({{0x58}}))); },
         Status::STREAM_NOT_CONSUMED},
        {"final correction not a diff", [&] { return stream(plain, 3, {0x03}); }, Status::GENERAL_ERROR},
        {"final correction missing", [&] { return stream(plain, 3, {}); }, Status::GENERAL_ERROR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Applied result = applyPatch(old, c.patch());
        EXPECT_EQ(result.status, c.status);
    }
}

// Elements hold at least one byte, lie in the old file and share no byte, so their number and what is
// disassembled are bounded by the old file. Elements that pass these checks reach their disassembly, where no
// parser accepts this text (24).
TEST(EnsemblePatch, ElementsAreNonEmptyApartAndInsideTheOldFile)
{
    const Bytes old = bytes("old file");
    EnsemblePatch plain;
    ASSERT_EQ(MakeEnsemblePatch(old, bytes("new file"), {}, &plain), Status::OK);
    auto withElements = [&](const Bytes &descriptions, size_t count) {
        EnsemblePatch parts = plain;
        parts.streams[0] = descriptions;
        parts.streams[1] = ByteDiff(PredictedParameters(count), PredictedParameters(count));
        return parts.Serialize();
    };
    auto elements = [&](const std::vector<std::pair<uint32_t, uint32_t>> &ranges) {
        std::vector<Element> list;
        for (const auto &r : ranges)
            list.push_back({2, r.first, r.second, 0, 0});
        return withElements(Descriptions(list), list.size());
    };
    // A million elements each the whole file: the second already cannot fit beside the first.
    Bytes million = {0xC0, 0x84, 0x3D}; // 1000000
    million.insert(million.end(), 1000000, 0x02);
    for (int i = 0; i < 1000000; ++i)
        million.insert(million.end(), {0x00, 0x08});
    // Sixteen thousand kinds and nothing else: no element is read, nothing is made for the kinds.
    Bytes kindsOnly = {0x80, 0x80, 0x01}; // 16384
    kindsOnly.insert(kindsOnly.end(), 16384, 0x05);
    const struct
    {
        const char *name;
        Bytes patch;
        int status;
    } cases[] = {
        {"one element, the whole file", elements({{0, 8}}), Status::INPUT_NOT_RECOGNISED},
        {"two elements side by side", elements({{0, 4}, {4, 4}}), Status::INPUT_NOT_RECOGNISED},
        {"two elements side by side, the later first", elements({{4, 4}, {0, 4}}), Status::INPUT_NOT_RECOGNISED},
        {"an empty element", elements({{3, 0}}), Status::BAD_PARAMETERS},
        {"an empty element at the end", elements({{8, 0}}), Status::BAD_PARAMETERS},
        {"one byte shared", elements({{0, 5}, {4, 4}}), Status::BAD_PARAMETERS},
        {"one inside the other, the inner first", elements({{2, 2}, {0, 8}}), Status::BAD_PARAMETERS},
        {"the same element twice", elements({{1, 3}, {1, 3}}), Status::BAD_PARAMETERS},
        {"offset near 2^32", elements({{0xFFFFFFFF, 2}}), Status::BAD_PARAMETERS},
        {"length near 2^32", elements({{1, 0xFFFFFFFF}}), Status::BAD_PARAMETERS},
        {"a million whole-file elements", withElements(million, 1000000), Status::BAD_PARAMETERS},
        {"kinds without parameters", withElements(kindsOnly, 16384), Status::BAD_PARAMETERS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(applyPatch(old, c.patch).status, c.status);
    }
}

// The new file may not pass the size the caller allows: a final correction that declares more fails before its
// blocks are decoded. A parameter correction can only give the predicted set, so more than its bound fails too.
TEST(EnsemblePatch, TheCallersCapBoundsTheNewFile)
{
    const Bytes old = bytes("old file");
    EnsemblePatch parts;
    ASSERT_EQ(MakeEnsemblePatch(old, bytes("new file"), {}, &parts), Status::OK);
    auto apply = [&](const Bytes &patch, size_t cap) {
        SourceStream oldStream, patchStream;
        oldStream.Init(old.data(), old.size());
        patchStream.Init(patch.data(), patch.size());
        SinkStream output;
        return ApplyEnsemblePatchStreams(&oldStream, &patchStream, &output, cap);
    };
    EXPECT_EQ(apply(parts.Serialize(), 8), Status::OK);
    EXPECT_EQ(apply(parts.Serialize(), 7), Status::GENERAL_ERROR);

    // A final correction that declares 1 GiB in a packed block of 2^32 - 1 bytes: with a cap it is refused
    // from its size alone.
    EnsemblePatch huge = parts;
    huge.streams[3] = {0x02, 0x80, 0x80, 0x80, 0x80, 0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00};
    EXPECT_EQ(apply(huge.Serialize(), 1024 * 1024), Status::GENERAL_ERROR);

    EnsemblePatch parameters = parts;
    parameters.streams[1] = ByteDiff(kEmptySet, Bytes(65, 0x00));
    EXPECT_EQ(apply(parameters.Serialize(), SIZE_MAX), Status::GENERAL_ERROR);
    parameters.streams[1] = ByteDiff(kEmptySet, Bytes(64, 0x00));
    EXPECT_EQ(apply(parameters.Serialize(), SIZE_MAX), Status::STREAM_ERROR) << "in bound, but no set";
}

namespace {

class EnsemblePatchFiles : public ::testing::Test
{
protected:
    QString path(const char *name) const { return m_box.path(name); }
    QByteArray native(const char *name) const { return QFile::encodeName(path(name)); }
    void put(const char *name, const Bytes &content) const
    {
        ASSERT_TRUE(Sandbox::writeFile(path(name), QByteArray(reinterpret_cast<const char *>(content.data()),
                                                              static_cast<int>(content.size()))));
    }
    Bytes read(const char *name) const
    {
        const QByteArray content = Sandbox::readFile(path(name));
        return Bytes(content.begin(), content.end());
    }
    int applyFiles(const char *old, const char *patch, const char *newFile) const
    {
        return ApplyEnsemblePatchFiles(native(old).constData(), native(patch).constData(),
                                       native(newFile).constData());
    }
    // Names in the sandbox directory, hidden ones included, so a leftover temporary file shows.
    QStringList entries(const char *dir = "") const
    {
        return QDir(path(dir)).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                         QDir::Name);
    }
    Bytes patchFromOldToNew() const
    {
        EnsemblePatch parts;
        EXPECT_EQ(MakeEnsemblePatch(bytes("old content"), bytes("new content"), {}, &parts), Status::OK);
        return parts.Serialize();
    }

    Sandbox m_box;
};

} // namespace

TEST_F(EnsemblePatchFiles, WritesTheNewFileInPlaceOfAnEarlierOne)
{
    put("old", bytes("old content"));
    put("patch", patchFromOldToNew());
    put("new", bytes("earlier"));
    ASSERT_TRUE(QFile::setPermissions(path("new"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QStringList before = entries();

    EXPECT_EQ(applyFiles("old", "patch", "new"), Status::OK);
    EXPECT_EQ(read("new"), bytes("new content"));
    EXPECT_EQ(QFile::permissions(path("new")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                     QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
    EXPECT_EQ(entries(), before); // no temporary file left beside it
    EXPECT_EQ(read("old"), bytes("old content"));

    // A new name is created; the old file may also be the target.
    EXPECT_EQ(applyFiles("old", "patch", "fresh"), Status::OK);
    EXPECT_EQ(read("fresh"), bytes("new content"));
    EXPECT_EQ(applyFiles("old", "patch", "old"), Status::OK);
    EXPECT_EQ(read("old"), bytes("new content"));
}

TEST_F(EnsemblePatchFiles, FailuresLeaveTheNewPathUntouched)
{
    put("old", bytes("old content"));
    put("other old", bytes("other content"));
    put("empty", {});
    put("patch", patchFromOldToNew());
    put("not a patch", bytes("plain text"));
    put("empty patch", {});
    ASSERT_TRUE(QDir().mkpath(path("a directory")));
    struct Case
    {
        const char *name;
        const char *old;
        const char *patch;
        int status;
    };
    const Case cases[] = {
        {"patch missing (old missing too)", "missing", "missing patch", Status::PATCH_OPEN_FAILED},
        {"patch empty", "old", "empty patch", Status::PATCH_OPEN_FAILED},
        {"patch a directory", "old", "a directory", Status::PATCH_OPEN_FAILED},
        {"not a patch (old missing)", "missing", "not a patch", Status::BAD_MAGIC},
        {"old missing", "missing", "patch", Status::FILE_ACCESS_FAILED},
        {"old empty", "empty", "patch", Status::FILE_ACCESS_FAILED},
        {"another old file", "other old", "patch", Status::CRC_MISMATCH},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        put("new", bytes("earlier"));
        const QStringList before = entries();
        EXPECT_EQ(applyFiles(c.old, c.patch, "new"), c.status);
        EXPECT_EQ(read("new"), bytes("earlier"));
        EXPECT_EQ(entries(), before);
    }

    // The new file cannot be put in place: a directory holds its name, or its directory is missing.
    EXPECT_EQ(applyFiles("old", "patch", "a directory"), Status::FILE_ACCESS_FAILED);
    EXPECT_TRUE(QFileInfo(path("a directory")).isDir());
    EXPECT_TRUE(entries("a directory").isEmpty());
    EXPECT_EQ(applyFiles("old", "patch", "missing dir/new"), Status::FILE_ACCESS_FAILED);
    EXPECT_FALSE(QFileInfo::exists(path("missing dir")));
}
