#pragma once

#include <cstddef>
#include <cstdint>

namespace corvapatch {

// The value of every CRC field in the engine's formats: the bitwise complement of the standard CRC-32, i.e. the
// CRC-32 register without its final inversion. 0xCADBBE3D for "abc", 0xFFFFFFFF for no bytes. Thread-safe.
uint32_t ComputeCrc(const uint8_t *data, size_t n);

} // namespace corvapatch
