#pragma once

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// The value of every CRC field in the engine's formats: the bitwise complement of the standard CRC-32, i.e. the
// CRC-32 register without its final inversion. 0xCADBBE3D for "abc", 0xFFFFFFFF for no bytes. Thread-safe.
uint32_t ComputeCrc(const uint8_t *data, size_t n);

// ComputeCrc, with a second thread taking the first half of many bytes: the new file's crc is the last step
// of applying a patch and nothing else is left to run beside it. Alone when no thread can be had.
uint32_t ComputeCrcInHalves(const uint8_t *data, size_t n);

// ComputeCrc of the bytes crc was computed over followed by n more: ComputeCrc(a + b) is
// ExtendCrc(ComputeCrc(a), b), so content that is never held whole is checked piece by piece.
uint32_t ExtendCrc(uint32_t crc, const uint8_t *data, size_t n);

} // namespace corvapatch
