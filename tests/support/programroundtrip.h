#pragma once

#include "assemblyprogram.h"

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

// The program as one line per instruction: "origin <rva>", "bytes <offset into image> <length>",
// "rel32 <label rva>", "abs32 <label rva>", "arm <compressed op> <label rva> at <offset> size <n>", "elf relocs",
// "elf arm relocs", "pe relocs", and "op <n>" for the rest (numbers in hexadecimal, as 0x...).
std::vector<std::string> DescribeProgram(const corvapatch::AssemblyProgram &program, const uint8_t *image);

// The RVAs of a label map, ascending.
std::vector<uint32_t> LabelRvas(const corvapatch::RvaToLabel &labels);

// ParseExecutable on a damaged image: any status but OK, not recognised or disassembly failed is a fault
// (a gtest failure), and a program exists exactly when the status is OK.
void ExpectCleanOutcome(const std::vector<uint8_t> &image);

// The executable is detected as kind, and its program assembles back to exactly the bytes of its detected
// length (gtest failures otherwise).
void ExpectAssemblesBackToItsOwnBytes(const std::vector<uint8_t> &image, int kind);
