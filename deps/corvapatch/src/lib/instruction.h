#pragma once

#include "growablearray.h"

#include <cstdint>

namespace corvapatch {

struct Label;

// The operation of an instruction: the low 4 bits of its first word. Codes 9 to 15 are never built by the
// disassemblers; encoding reports and skips them.
enum InstructionOp : uint32_t {
    OP_ORIGIN = 0,
    OP_PE_RELOCS = 1,
    OP_ELF_RELOCS = 2,
    OP_BYTE = 3,
    OP_REL32 = 4,
    OP_ABS32 = 5,
    OP_REL32_ARM = 6,
    OP_ELF_ARM_RELOCS = 7,
    OP_BYTES = 8,
    OP_LAST = 15,
};

// One step of an assembly program. The first word holds the operation (low 4 bits) and a 28-bit info field
// (the byte value of OP_BYTE, else 0); the subclasses add the operands. The relocation ops have none.
class Instruction
{
public:
    explicit Instruction(uint32_t op, uint32_t info = 0) : m_opAndInfo((op & 0xF) | (info << 4)) { }
    virtual ~Instruction() = default;
    Instruction(const Instruction &) = delete;
    Instruction &operator=(const Instruction &) = delete;

    InstructionOp op() const { return static_cast<InstructionOp>(m_opAndInfo & 0xF); }
    uint32_t info() const { return m_opAndInfo >> 4; }

private:
    uint32_t m_opAndInfo;
};

class OriginInstruction : public Instruction
{
public:
    explicit OriginInstruction(uint32_t rva) : Instruction(OP_ORIGIN), m_rva(rva) { }
    uint32_t rva() const { return m_rva; }

private:
    uint32_t m_rva;
};

// One literal byte; the program shares one such instruction per byte value.
class ByteInstruction : public Instruction
{
public:
    explicit ByteInstruction(uint8_t value) : Instruction(OP_BYTE, value) { }
    uint8_t byte() const { return static_cast<uint8_t>(info()); }
};

// A run of literal bytes inside the disassembled image.
class BytesInstruction : public Instruction
{
public:
    BytesInstruction(const uint8_t *values, uint32_t length)
        : Instruction(OP_BYTES), m_values(values), m_length(length)
    {
    }
    const uint8_t *values() const { return m_values; }
    uint32_t length() const { return m_length; }

private:
    const uint8_t *m_values;
    uint32_t m_length;
};

// OP_REL32 or OP_ABS32: a 32-bit reference to a label.
class LabelInstruction : public Instruction
{
public:
    LabelInstruction(uint32_t op, Label *label) : Instruction(op), m_label(label) { }
    Label *label() const { return m_label; }

private:
    Label *m_label;
};

// A compressed ARM or Thumb branch to a label, with the branch's own bytes in the image and their size.
class Rel32ArmInstruction : public Instruction
{
public:
    Rel32ArmInstruction(uint16_t compressedOp, Label *label, const uint8_t *armOp, uint16_t opSize)
        : Instruction(OP_REL32_ARM), m_compressedOp(compressedOp), m_label(label), m_armOp(armOp),
          m_opSize(opSize)
    {
    }
    uint16_t compressedOp() const { return m_compressedOp; }
    Label *label() const { return m_label; }
    const uint8_t *armOp() const { return m_armOp; }
    uint16_t opSize() const { return m_opSize; }

private:
    uint16_t m_compressedOp;
    Label *m_label;
    const uint8_t *m_armOp;
    uint16_t m_opSize;
};

// The program's instructions in output order; grows like every engine array (see GrowableArray).
using InstructionVector = GrowableArray<Instruction *>;

} // namespace corvapatch
