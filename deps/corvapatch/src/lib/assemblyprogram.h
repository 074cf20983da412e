#pragma once

#include "executabletype.h"
#include "instruction.h"
#include "label.h"
#include "objectarena.h"

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace corvapatch {

class EncodedProgram;

// The disassembled form of one executable: instructions that, played in order, rebuild its bytes, and the
// labels of its absolute and relative 32-bit references. A disassembler fills it; it is trimmed, encoded and
// released. OP_BYTES and OP_REL32_ARM instructions point into the disassembled image, which must outlive it.
// No operation throws: failures are false or nullptr.
class AssemblyProgram
{
public:
    static constexpr int32_t kTrimThreshold = 5;

    // How pushed instructions are taken. KEEP stores them, to be trimmed and encoded later. COUNT stores none:
    // it counts them and their literal bytes while labels are made and counted as usual, the first of two walks
    // over a disassembly, which finds and numbers the labels. ENCODE appends each at once to the program given
    // to StartEncoding, with the indexes of the first walk's labels; a label the first walk did not make is
    // refused.
    enum class Taking { KEEP, COUNT, ENCODE };

    explicit AssemblyProgram(int kind);
    ~AssemblyProgram();
    AssemblyProgram(const AssemblyProgram &) = delete;
    AssemblyProgram &operator=(const AssemblyProgram &) = delete;

    int kind() const { return m_kind; }
    uint64_t image_base() const { return m_imageBase; }
    void set_image_base(uint64_t imageBase) { m_imageBase = imageBase; }

    // Each appends one instruction; false when an allocation or the append failed.
    [[nodiscard]] bool PushOrigin(uint32_t rva);
    [[nodiscard]] bool PushPeRelocs();
    [[nodiscard]] bool PushElfRelocs();
    [[nodiscard]] bool PushElfArmRelocs();
    // Appends the shared instruction of that byte value.
    [[nodiscard]] bool PushByte(uint8_t value);
    // Inline, like the label pushes: a disassembly makes one per literal run and per reference.
    [[nodiscard]] bool PushBytes(const uint8_t *values, uint32_t length)
    {
        if (m_taking != Taking::KEEP)
            return TakeBytesNow(values, length);
        return PushMade(m_arena.Make<BytesInstruction>(values, length));
    }
    // The label must not be null: a null label is reported and refused.
    [[nodiscard]] bool PushRel32(Label *label) { return PushLabelInstruction(OP_REL32, label); }
    [[nodiscard]] bool PushAbs32(Label *label) { return PushLabelInstruction(OP_ABS32, label); }
    [[nodiscard]] bool PushRel32Arm(uint16_t compressedOp, Label *label, const uint8_t *armOp, uint16_t opSize);
    // Takes ownership of instruction (from plain new); releases it when the append fails.
    [[nodiscard]] bool PushInstruction(Instruction *instruction);

    // The label of rva in the abs32 / rel32 map, made when missing, with its count raised by one. nullptr when
    // the label or its map entry could not be allocated.
    // Inline: a disassembly calls them once per reference.
    Label *GetAbs32Label(uint32_t rva) { return GetLabel(&m_abs32Labels, rva); }
    Label *GetRel32Label(uint32_t rva) { return GetLabel(&m_rel32Labels, rva); }
    // The label of rva in labels, made {rva, kNoIndex, 0} when missing; nullptr when allocation fails.
    Label *FindOrMakeLabel(RvaToLabel *labels, uint32_t rva)
    {
        Label *label = labels->Find(rva);
        return label ? label : MakeLabel(labels, rva);
    }

    // Indexes 0, 1, 2, ... in ascending address order, abs32 map first, then rel32 map.
    void NumberLabels();
    void ClearLabelIndexes();
    // Gives unnumbered labels the free indexes that keep neighbours adjacent (both maps, abs32 first).
    void FillLabelIndexes();
    // ELF_32_ARM only: drops rel32 labels used at most kTrimThreshold times and turns their branches back into
    // literal bytes. False on an ARM op of size 0 or a failed allocation.
    [[nodiscard]] bool TrimLabels();
    // A new encoded program (owned by the caller), or nullptr on failure.
    EncodedProgram *Encode() const;

    // Before the first of two walks: instructions are counted, not kept.
    void CountOnly() { m_taking = Taking::COUNT; }
    // After the counting walk: sets encoded up as Encode would (image base, label addresses, room for what was
    // counted) and switches to encoding each instruction into it as it is pushed. encoded must outlive the
    // walk. False when setting up failed.
    [[nodiscard]] bool StartEncoding(EncodedProgram *encoded);
    Taking taking() const { return m_taking; }
    // ENCODE: called after each run of literal bytes is encoded, with the end of the run. The encoded program
    // holds its own copy, so the image up to there is not read for it again.
    void SetLiteralsEncoded(std::function<void(const uint8_t *end)> literalsEncoded)
    {
        m_literalsEncoded = std::move(literalsEncoded);
    }

    const InstructionVector &instructions() const { return m_instructions; }
    const RvaToLabel &abs32_labels() const { return m_abs32Labels; }
    const RvaToLabel &rel32_labels() const { return m_rel32Labels; }

    // The label of an OP_ABS32 instruction / of an OP_REL32 or OP_REL32_ARM instruction; nullptr otherwise.
    static Label *InstructionAbs32Label(const Instruction *instruction);
    static Label *InstructionRel32Label(const Instruction *instruction);

    // Debug dumps to standard output: the count of every numbered label, one per line.
    void PrintLabelCounts(const RvaToLabel &labels) const;
    void PrintRel32LabelCounts() const;

private:
    [[nodiscard]] bool BuildByteCache();
    Label *GetLabel(RvaToLabel *labels, uint32_t rva)
    {
        if (m_taking == Taking::ENCODE)
            return labels->Find(rva); // all made and numbered in the counting walk
        Label *label = FindOrMakeLabel(labels, rva);
        if (label)
            ++label->count;
        return label;
    }
    // A new label {rva, kNoIndex, 0} in labels, which does not hold rva yet; nullptr when allocation fails.
    Label *MakeLabel(RvaToLabel *labels, uint32_t rva);
    [[nodiscard]] bool PushLabelInstruction(uint32_t op, Label *label)
    {
        if (!label)
            return RefuseMissingLabel();
        if (m_taking != Taking::KEEP) {
            const LabelInstruction instruction(op, label);
            return TakeNow(&instruction, 0);
        }
        return PushMade(m_arena.Make<LabelInstruction>(op, label));
    }
    // Encoding would follow a missing label, so its instruction is refused: reported, false.
    [[nodiscard]] static bool RefuseMissingLabel();
    // Appends an instruction made in the arena; false when it could not be made or appended.
    [[nodiscard]] bool PushMade(Instruction *instruction)
    {
        return instruction && m_instructions.PushBack(instruction);
    }
    // Makes the instruction in the arena and keeps it, or passes a temporary one, which copies literalBytes
    // literal bytes, to TakeNow.
    template <typename T, typename... Args>
    [[nodiscard]] bool PushNew(uint64_t literalBytes, Args... args);
    // COUNT and ENCODE: counts or encodes the instruction at once.
    [[nodiscard]] bool TakeNow(const Instruction *instruction, uint64_t literalBytes);
    // The same for a run of literal bytes, which is then reported to the literalsEncoded callback.
    [[nodiscard]] bool TakeBytesNow(const uint8_t *values, uint32_t length);
    // The label tables and room for instructions holding literalBytes literal bytes.
    [[nodiscard]] bool SetUpEncoded(EncodedProgram *encoded, uint32_t instructions, uint64_t literalBytes) const;
    static void NumberMap(RvaToLabel *labels);
    static void FillMapIndexes(RvaToLabel *labels);

    int m_kind;
    // The program's own instructions and all its labels, released with it. Labels trimmed from the rel32 map
    // stay there too: instructions may still point at them.
    ObjectArena m_arena;
    Instruction **m_byteCache = nullptr; // 256 shared OP_BYTE instructions, built on first use
    uint64_t m_imageBase = 0;
    InstructionVector m_instructions;
    // Instructions handed over by PushInstruction, which came from plain new.
    GrowableArray<Instruction *> m_handedOver;
    RvaToLabel m_rel32Labels;
    RvaToLabel m_abs32Labels;
    Taking m_taking = Taking::KEEP;
    uint32_t m_countedInstructions = 0;
    uint64_t m_countedLiteralBytes = 0;
    EncodedProgram *m_target = nullptr;
    std::function<void(const uint8_t *end)> m_literalsEncoded;
};

// OK when TrimLabels succeeds, else TRIM_FAILED.
[[nodiscard]] int TrimAssemblyProgram(AssemblyProgram *program);
// Sets *out to the encoded program: OK, or GENERAL_ERROR with *out null.
[[nodiscard]] int EncodeAssemblyProgram(AssemblyProgram *program, EncodedProgram **out);
// Releases program; null is allowed.
void DeleteAssemblyProgram(AssemblyProgram *program);

} // namespace corvapatch
