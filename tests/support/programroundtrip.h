#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Runs an executable through the whole program path of the ensemble patch: ParseExecutable, label trimming,
// encoding, serialisation into a stream set and reading it back, and assembly. Gives the first failing step's
// status, or OK with the assembled bytes in *assembled.
int RoundTripProgram(const std::vector<uint8_t> &image, std::vector<uint8_t> *assembled);

// The length ParseHeader detected (DetectExecutableType); 0 when no disassembler accepts image.
size_t DetectedLength(const std::vector<uint8_t> &image);

// The whole file; empty when it cannot be read.
std::vector<uint8_t> ReadWholeFile(const std::string &path);
