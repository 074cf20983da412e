#pragma once

#include "growablearray.h"
#include "growablebuffer.h"

#include <cstdint>

namespace corvapatch {

class SinkStream;
class SinkStreamSet;
class SourceStreamSet;

// Operation codes of the ops stream. Any other value is a compressed ARM branch, its form in bits 12 to 15.
enum EncodedOp : uint32_t {
    ENC_ORIGIN = 0,
    ENC_COPY = 1,
    ENC_COPY1 = 2,
    ENC_REL32 = 3,
    ENC_ABS32 = 4,
    ENC_PE_RELOCS = 5,
    ENC_ELF_RELOCS = 6,
    ENC_ELF_ARM_RELOCS = 7,
    ENC_PE64_RELOCS = 8,
};

// The serialisable form of a disassembled executable: separate arrays of ops, origins, literal bytes, label
// indexes and label addresses. Built by AssemblyProgram::Encode and written, or read and assembled back into
// the executable's bytes. Nothing throws; a failed growth pins its array, so every later append fails.
class EncodedProgram
{
public:
    using U32Array = GrowableArray<uint32_t>;
    static constexpr uint32_t kUnsetRva = 0xFFFFFFFFu;

    EncodedProgram() = default;
    EncodedProgram(const EncodedProgram &) = delete;
    EncodedProgram &operator=(const EncodedProgram &) = delete;

    uint64_t image_base() const { return m_imageBase; }
    void set_image_base(uint64_t imageBase) { m_imageBase = imageBase; }

    // Stores rva at index, growing the table with kUnsetRva entries first. False for a negative index.
    [[nodiscard]] bool SetAbs32Rva(int32_t index, uint32_t rva);
    [[nodiscard]] bool SetRel32Rva(int32_t index, uint32_t rva);
    // Every kUnsetRva entry takes the value before it (0 for the first), abs32 table first.
    void FillRvaGaps();

    // Room for ops operations and copyBytes literal bytes in all, so that appending them does not grow the
    // arrays step by step; false when it cannot be had.
    [[nodiscard]] bool Reserve(uint32_t ops, uint64_t copyBytes);
    [[nodiscard]] bool AppendOrigin(uint32_t rva);
    // count literal bytes; runs of literals merge into one ENC_COPY, a lone byte stays ENC_COPY1.
    [[nodiscard]] bool AppendCopy(uint32_t count, const uint8_t *bytes);
    // Label indexes must be numbered: a negative one is refused.
    [[nodiscard]] bool AppendRel32(int32_t index);
    [[nodiscard]] bool AppendAbs32(int32_t index);
    [[nodiscard]] bool AppendRel32Arm(uint16_t compressedOp, int32_t index);
    // ENC_PE_RELOCS for WIN_32_X86, ENC_PE64_RELOCS for every other kind.
    [[nodiscard]] bool AppendPeRelocs(int kind);
    [[nodiscard]] bool AppendElfRelocs();
    [[nodiscard]] bool AppendElfArmRelocs();

    // One level-3 line with the image base and the size of every serialised array.
    void PrintSummary() const;

    // Into streams 0 to 7 of set; false when a write failed or set has fewer than 8 streams.
    [[nodiscard]] bool WriteTo(SinkStreamSet *set) const;
    // The same, but the literal bytes move into the set instead of being copied, when their stream is still
    // empty: an element's literals are most of it and need not be held twice. The program is to be deleted
    // afterwards; it no longer holds its literal bytes.
    [[nodiscard]] bool WriteToReleasing(SinkStreamSet *set);
    // From streams 0 to 8 of set, which must be used up exactly; false on any failure. inPlace: the literal bytes
    // are not copied, the program refers to them in the set's bytes, which must then outlive it; such a program
    // is only written or assembled.
    [[nodiscard]] bool ReadFrom(SourceStreamSet *set, bool inPlace = false);
    // The executable's bytes, relocation tables included.
    [[nodiscard]] bool AssembleTo(SinkStream *sink);

    const U32Array &abs32_rvas() const { return m_abs32Rvas; }
    const U32Array &rel32_rvas() const { return m_rel32Rvas; }
    const U32Array &ops() const { return m_ops; }
    const U32Array &origins() const { return m_origins; }
    const U32Array &copy_counts() const { return m_copyCounts; }
    // The literal bytes (empty for a program read in place).
    const GrowableBuffer &copy_bytes() const { return m_copyBytes; }
    const U32Array &abs32_ix() const { return m_abs32Ix; }
    const U32Array &rel32_ix() const { return m_rel32Ix; }
    const U32Array &abs32_relocs() const { return m_abs32Relocs; }

private:
    [[nodiscard]] static bool SetRva(U32Array *rvas, int32_t index, uint32_t rva);
    [[nodiscard]] bool AppendLiterals(const uint8_t *bytes, uint32_t count);
    static void FillGaps(U32Array *rvas);

    uint64_t m_imageBase = 0;
    U32Array m_abs32Rvas;
    U32Array m_rel32Rvas;
    U32Array m_ops;
    U32Array m_origins;
    U32Array m_copyCounts;
    GrowableBuffer m_copyBytes;
    bool WriteStreams(SinkStreamSet *set, bool withCopyBytes) const;
    // The literal bytes of a program read in place, where they lie in its set.
    const uint8_t *m_readCopyBytes = nullptr;
    uint32_t m_readCopyLength = 0;
    const uint8_t *CopyBytes() const { return m_readCopyBytes ? m_readCopyBytes : m_copyBytes.Data(); }
    uint32_t CopyLength() const { return m_readCopyBytes ? m_readCopyLength : m_copyBytes.Length(); }
    U32Array m_abs32Ix;
    U32Array m_rel32Ix;
    U32Array m_abs32Relocs; // filled while assembling: the output address of every abs32 value
};

// OK, or STREAM_ERROR when a write failed.
[[nodiscard]] int WriteEncodedProgram(EncodedProgram *program, SinkStreamSet *set);
// The same for a program that is deleted right after: its literal bytes move into the set (see WriteToReleasing).
[[nodiscard]] int WriteEncodedProgramReleasing(EncodedProgram *program, SinkStreamSet *set);
// Sets *out to a new program read from set: OK, or DESERIALIZATION_FAILED with *out null.
[[nodiscard]] int ReadEncodedProgram(SourceStreamSet *set, EncodedProgram **out);
// The same, read in place (see ReadFrom): the set's bytes must outlive the program.
[[nodiscard]] int ReadEncodedProgramInPlace(SourceStreamSet *set, EncodedProgram **out);
// OK, or ASSEMBLY_FAILED.
[[nodiscard]] int Assemble(EncodedProgram *program, SinkStream *sink);
// Releases program; null is allowed.
void DeleteEncodedProgram(EncodedProgram *program);

} // namespace corvapatch
