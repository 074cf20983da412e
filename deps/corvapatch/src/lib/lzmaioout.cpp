#include "lzmaioout.h"

#include "logerror.h"

#include <string>

namespace corvapatch {

namespace {

constexpr uint32_t kCompressionLevel = 9;

} // namespace

bool WriteLzma2BlockStart(Lzma2Encoder *encoder, size_t unpackedSize, SinkStream *dest)
{
    if (!encoder->SetLevel(kCompressionLevel) || unpackedSize > 0xFFFFFFFFu) {
        LogError("Error Lzma2Enc_SetProps");
        return false;
    }
    const uint8_t property = encoder->Property();
    return dest->Write(&property, 1) && dest->WriteSizeVarint32(unpackedSize);
}

bool EncodeLzma2(const Lzma2Encoder &encoder, const uint8_t *data, size_t n, SinkStream *dest)
{
    const int result = encoder.Encode(data, n, [dest](const uint8_t *bytes, size_t length) -> size_t {
        return dest->Write(bytes, length) ? length : 0;
    });
    if (result != LZMA2_OK) {
        LogError("Error Lzma2Enc_Encode");
        return false;
    }
    return true;
}

bool CompressLzma2Buffer(const uint8_t *data, size_t n, SinkStream *dest)
{
    Lzma2Encoder encoder;
    return WriteLzma2BlockStart(&encoder, n, dest) && EncodeLzma2(encoder, data, n, dest);
}

bool CompressLzma2Stream(SourceStream *source, SinkStream *dest)
{
    if (!CompressLzma2Buffer(source->Current(), source->Remaining(), dest))
        return false;
    return source->Skip(source->Remaining());
}

} // namespace corvapatch
