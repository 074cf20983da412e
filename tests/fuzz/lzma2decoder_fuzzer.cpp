// The in-memory LZMA2 decoder against liblzma on arbitrary streams: the same verdict, the same bytes and the same
// stream length, whether it writes into ordinary memory or skips zeros over fresh pages.
// Input: the dictionary property byte, two bytes of output room (little-endian, in units of 16 bytes), then the
// raw LZMA2 stream.
#include "lzma2coder.h"

#include <lzma.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint8_t kMaxProperty = 40;

// liblzma's one-shot decoding with the property's dictionary, cut to the room as the engine cuts it.
bool Reference(const uint8_t *stream, size_t size, uint8_t property, size_t room, std::vector<uint8_t> *out,
               size_t *consumed)
{
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 0);
    options.dict_size = property == kMaxProperty ? UINT32_MAX : (2u | (property & 1u)) << (property / 2 + 11);
    if (options.dict_size > room)
        options.dict_size = room < 4096 ? 4096 : uint32_t(room);
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    out->assign(room + 1, 0);
    size_t inPos = 0;
    size_t outPos = 0;
    const uint8_t none = 0;
    const lzma_ret ret = lzma_raw_buffer_decode(filters, nullptr, size ? stream : &none, &inPos, size,
                                                out->data(), &outPos, room);
    out->resize(outPos);
    *consumed = inPos;
    return ret == LZMA_OK;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const uint8_t property = data[0] % (kMaxProperty + 1);
    const size_t room = (size_t(data[1]) | (size_t(data[2]) << 8)) * 16;
    const uint8_t *stream = data + 3;
    const size_t length = size - 3;

    std::vector<uint8_t> expected;
    size_t expectedConsumed = 0;
    const bool reference = Reference(stream, length, property, room, &expected, &expectedConsumed);

    std::vector<uint8_t> plain(room + 1, 0);
    size_t plainLength = room;
    size_t plainConsumed = length;
    const bool decoded =
        corvapatch::DecodeLzma2(plain.data(), &plainLength, stream, &plainConsumed, property) == corvapatch::LZMA2_OK;

    void *pages = mmap(nullptr, room + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        std::abort();
    size_t zeroedLength = room;
    size_t zeroedConsumed = length;
    const bool zeroed = corvapatch::DecodeLzma2(static_cast<uint8_t *>(pages), &zeroedLength, stream,
                                                &zeroedConsumed, property, true) == corvapatch::LZMA2_OK;

    if (decoded != reference || zeroed != reference)
        std::abort();
    if (reference) {
        if (plainLength != expected.size() || zeroedLength != expected.size() || plainConsumed != expectedConsumed ||
            zeroedConsumed != expectedConsumed || std::memcmp(plain.data(), expected.data(), expected.size()) != 0 ||
            std::memcmp(pages, expected.data(), expected.size()) != 0)
            std::abort();
    }
    munmap(pages, room + 1);
    return 0;
}
