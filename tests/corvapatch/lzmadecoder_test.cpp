// The in-memory LZMA2 decoder against liblzma: streams liblzma's encoder writes with various settings decode to
// their input (into ordinary memory and into zeroed memory alike), and damaged streams get liblzma's verdict.
#include "bytes.h"
#include "lzma2coder.h"

#include <gtest/gtest.h>
#include <lzma.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

using namespace corvapatch;

namespace {

struct Settings
{
    const char *name;
    uint32_t preset;
    uint32_t lc, lp, pb;
    uint32_t dictionary;
};

// The property byte of the smallest LZMA2 dictionary that holds size bytes.
uint8_t PropertyFor(uint32_t size)
{
    uint8_t property = 0;
    while (property < 40 && ((2ull | (property & 1)) << (property / 2 + 11)) < size)
        ++property;
    return property;
}

Bytes Encode(const Bytes &input, const Settings &settings)
{
    lzma_options_lzma options;
    EXPECT_FALSE(lzma_lzma_preset(&options, settings.preset));
    options.lc = settings.lc;
    options.lp = settings.lp;
    options.pb = settings.pb;
    options.dict_size = settings.dictionary;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    Bytes out(lzma_stream_buffer_bound(input.size()) + 64);
    size_t outPos = 0;
    const uint8_t none = 0;
    EXPECT_EQ(lzma_raw_buffer_encode(filters, nullptr, input.empty() ? &none : input.data(), input.size(),
                                     out.data(), &outPos, out.size()),
              LZMA_OK);
    out.resize(outPos);
    return out;
}

// liblzma's verdict and output on a raw LZMA2 stream with the given dictionary property.
bool ReferenceDecode(const Bytes &stream, uint8_t property, size_t room, Bytes *out)
{
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 0);
    options.dict_size = property >= 40 ? UINT32_MAX : (2u | (property & 1u)) << (property / 2 + 11);
    if (options.dict_size > room)
        options.dict_size = room < 4096 ? 4096 : uint32_t(room);
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    out->assign(room ? room : 1, 0);
    size_t inPos = 0;
    size_t outPos = 0;
    const uint8_t none = 0;
    const lzma_ret ret = lzma_raw_buffer_decode(filters, nullptr, stream.empty() ? &none : stream.data(), &inPos,
                                                stream.size(), out->data(), &outPos, room);
    out->resize(outPos);
    return ret == LZMA_OK;
}

bool Decode(const Bytes &stream, uint8_t property, size_t room, bool zeroed, Bytes *out, size_t *consumed)
{
    out->assign(room ? room : 1, 0);
    size_t outLength = room;
    *consumed = stream.size();
    const int result = DecodeLzma2(out->data(), &outLength, stream.data(), consumed, property, zeroed);
    out->resize(outLength);
    return result == LZMA2_OK;
}

// Program-like bytes: long runs of zeros with sparse changes, text-like stretches, and random stretches that
// LZMA stores as uncompressed chunks.
Bytes Mixed(size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes bytes(size, 0);
    size_t pos = 0;
    while (pos < size) {
        const size_t run = 1 + random() % 70000;
        const uint32_t kind = random() % 4;
        for (size_t i = pos; i < pos + run && i < size; ++i) {
            if (kind == 0)
                bytes[i] = random() % 97 == 0 ? uint8_t(random()) : 0;
            else if (kind == 1)
                bytes[i] = "the quick brown fox jumps over the lazy dog "[i % 44];
            else if (kind == 2)
                bytes[i] = uint8_t(random());
            else
                bytes[i] = uint8_t(i * 7 / 3);
        }
        pos += run;
    }
    return bytes;
}

// The resident size of the mapping that starts at address, from the kernel's own accounting.
size_t ResidentKilobytes(const void *address)
{
    char start[32];
    std::snprintf(start, sizeof start, "%lx-", reinterpret_cast<unsigned long>(address));
    std::ifstream maps("/proc/self/smaps");
    std::string line;
    bool inMapping = false;
    while (std::getline(maps, line)) {
        if (line.rfind(start, 0) == 0)
            inMapping = true;
        else if (inMapping && line.rfind("Rss:", 0) == 0)
            return std::stoul(line.substr(4));
    }
    ADD_FAILURE() << "no mapping at " << start;
    return SIZE_MAX;
}

const Settings kSettings[] = {
    {"fast", 0, 3, 0, 2, 1u << 16},
    {"default", 6, 3, 0, 2, 1u << 23},
    {"best", 9 | LZMA_PRESET_EXTREME, 3, 0, 2, 1u << 26},
    {"no context, wide positions", 6, 0, 2, 0, 1u << 20},
    {"full context, positions by 16", 6, 4, 0, 4, 1u << 20},
    {"mixed bits", 1, 1, 3, 3, 1u << 18},
};

} // namespace

TEST(LzmaDecoder, DecodesWhatLiblzmaEncodes)
{
    struct Input
    {
        const char *name;
        Bytes bytes;
    };
    std::mt19937 random(7);
    Bytes noise(200000);
    for (uint8_t &b : noise)
        b = uint8_t(random());
    const Input inputs[] = {
        {"one byte", Bytes{0x42}},
        {"text", Bytes(std::begin("hello hello hello hello\n"), std::end("hello hello hello hello\n"))},
        {"noise", noise},
        // More than one LZMA chunk of at most 2 MiB, with runs that cross their boundaries.
        {"mixed", Mixed(3 << 20, 11)},
        {"zeros", Bytes(3 << 20, 0)},
    };
    for (const Settings &settings : kSettings) {
        for (const Input &input : inputs) {
            SCOPED_TRACE(std::string(settings.name) + ", " + input.name);
            const Bytes stream = Encode(input.bytes, settings);
            const uint8_t property = PropertyFor(settings.dictionary);
            for (const bool zeroed : {false, true}) {
                Bytes out;
                size_t consumed = 0;
                ASSERT_TRUE(Decode(stream, property, input.bytes.size(), zeroed, &out, &consumed));
                EXPECT_EQ(consumed, stream.size());
                EXPECT_TRUE(out == input.bytes);
            }
            // Too little room for the stream is corrupt data, not a shorter result.
            Bytes out;
            size_t consumed = 0;
            EXPECT_FALSE(Decode(stream, property, input.bytes.size() - 1, false, &out, &consumed));
        }
    }
}

TEST(LzmaDecoder, DamagedStreamsGetLiblzmasVerdict)
{
    const Bytes input = Mixed(150000, 5);
    for (const Settings &settings : kSettings) {
        SCOPED_TRACE(settings.name);
        const Bytes stream = Encode(input, settings);
        const uint8_t property = PropertyFor(settings.dictionary);
        std::mt19937 random(3);
        for (int trial = 0; trial < 120; ++trial) {
            Bytes damaged = stream;
            if (trial % 4 == 3)
                damaged.resize(random() % damaged.size());
            else
                damaged[random() % damaged.size()] ^= uint8_t(1 + random() % 255);
            Bytes expected, out;
            size_t consumed = 0;
            const bool reference = ReferenceDecode(damaged, property, input.size(), &expected);
            const bool decoded = Decode(damaged, property, input.size(), trial % 2 == 0, &out, &consumed);
            ASSERT_EQ(decoded, reference) << "trial " << trial;
            if (decoded) {
                ASSERT_TRUE(out == expected) << "trial " << trial;
            }
        }
    }
    // A match that reaches further back than the property's dictionary is refused even when the output holds it.
    Bytes far(300000, 0);
    std::mt19937 random(9);
    for (size_t i = 0; i < 100000; ++i)
        far[i] = far[i + 200000] = uint8_t(random());
    const Bytes stream = Encode(far, {"far", 6, 3, 0, 2, 1u << 20});
    Bytes out;
    size_t consumed = 0;
    EXPECT_TRUE(Decode(stream, PropertyFor(1u << 20), far.size(), false, &out, &consumed));
    EXPECT_FALSE(Decode(stream, PropertyFor(1u << 16), far.size(), false, &out, &consumed));
}

TEST(LzmaDecoder, ZeroedOutputLeavesZeroPagesUntouched)
{
    // 64 MiB of zeros with one changed byte every 8 MiB: decoded into a fresh mapping, the output is exact while
    // only the pages that hold those bytes become resident.
    const size_t size = 64u << 20;
    Bytes input(size, 0);
    for (size_t i = 0; i < size; i += 8u << 20)
        input[i + 12345] = 0xA5;
    const Bytes stream = Encode(input, kSettings[1]);
    void *mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    auto *out = static_cast<uint8_t *>(mapping);
    size_t outLength = size;
    size_t consumed = stream.size();
    ASSERT_EQ(DecodeLzma2(out, &outLength, stream.data(), &consumed, PropertyFor(1u << 23), true), LZMA2_OK);
    ASSERT_EQ(outLength, size);

    // Reading a zero run maps the shared zero page, which is not the process's memory; only written pages count,
    // a few around each changed byte (a match that copies it also copies the zeros beside it).
    EXPECT_LE(ResidentKilobytes(mapping), 4 * 8 * size_t(sysconf(_SC_PAGESIZE)) / 1024);
    EXPECT_EQ(std::memcmp(out, input.data(), size), 0);
    munmap(mapping, size);
}
