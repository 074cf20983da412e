#include "assemblyprogram.h"

#include "encodedprogram.h"
#include "logstream.h"
#include "status.h"

#include <cstdio>
#include <new>
#include <stdexcept>

namespace corvapatch {

namespace {

constexpr int kByteValues = 256;
const char kUnreachable[] = "REACHED UNREACHABLE";

// The literal bytes an instruction copies into the encoded program.
uint64_t LiteralBytes(const Instruction *instruction)
{
    if (instruction->op() == OP_BYTE)
        return 1;
    if (instruction->op() == OP_BYTES)
        return static_cast<const BytesInstruction *>(instruction)->length();
    return 0;
}

// Appends the op of one instruction, with its operands, to encoded.
bool EncodeInstruction(EncodedProgram *encoded, const Instruction *instruction, int kind)
{
    switch (instruction->op()) {
    case OP_ORIGIN:
        return encoded->AppendOrigin(static_cast<const OriginInstruction *>(instruction)->rva());
    case OP_PE_RELOCS:
        return encoded->AppendPeRelocs(kind);
    case OP_ELF_RELOCS:
        return encoded->AppendElfRelocs();
    case OP_BYTE: {
        const uint8_t value = static_cast<const ByteInstruction *>(instruction)->byte();
        return encoded->AppendCopy(1, &value);
    }
    case OP_REL32:
        return encoded->AppendRel32(static_cast<const LabelInstruction *>(instruction)->label()->index);
    case OP_ABS32:
        return encoded->AppendAbs32(static_cast<const LabelInstruction *>(instruction)->label()->index);
    case OP_REL32_ARM: {
        const auto *branch = static_cast<const Rel32ArmInstruction *>(instruction);
        return encoded->AppendRel32Arm(branch->compressedOp(), branch->label()->index);
    }
    case OP_ELF_ARM_RELOCS:
        return encoded->AppendElfArmRelocs();
    case OP_BYTES: {
        const auto *bytes = static_cast<const BytesInstruction *>(instruction);
        return encoded->AppendCopy(bytes->length(), bytes->values());
    }
    default:
        LogStream(1) << kUnreachable << "Unknown Insn OP kind";
        return true;
    }
}

} // namespace

AssemblyProgram::AssemblyProgram(int kind) : m_kind(kind) { }

AssemblyProgram::~AssemblyProgram()
{
    for (uint32_t i = 0; i < m_handedOver.size(); ++i)
        delete m_handedOver[i];
    delete[] m_byteCache;
}

bool AssemblyProgram::PushInstruction(Instruction *instruction)
{
    if (!instruction)
        return false;
    if (m_taking != Taking::KEEP) {
        const bool taken = TakeNow(instruction, LiteralBytes(instruction));
        delete instruction;
        return taken;
    }
    if (!m_handedOver.PushBack(instruction)) {
        delete instruction;
        return false;
    }
    return m_instructions.PushBack(instruction);
}

template <typename T, typename... Args>
bool AssemblyProgram::PushNew(uint64_t literalBytes, Args... args)
{
    if (m_taking == Taking::KEEP)
        return PushMade(m_arena.Make<T>(args...));
    const T instruction(args...);
    return TakeNow(&instruction, literalBytes);
}

bool AssemblyProgram::TakeNow(const Instruction *instruction, uint64_t literalBytes)
{
    if (m_taking == Taking::ENCODE)
        return EncodeInstruction(m_target, instruction, m_kind);
    if (m_countedInstructions == UINT32_MAX)
        return false; // as a full instruction vector refuses its next instruction
    ++m_countedInstructions;
    m_countedLiteralBytes += literalBytes;
    return true;
}

bool AssemblyProgram::TakeBytesNow(const uint8_t *values, uint32_t length)
{
    const BytesInstruction instruction(values, length);
    if (!TakeNow(&instruction, length))
        return false;
    if (m_taking == Taking::ENCODE && m_literalsEncoded)
        m_literalsEncoded(values + length);
    return true;
}

bool AssemblyProgram::PushOrigin(uint32_t rva)
{
    return PushNew<OriginInstruction>(0, rva);
}

bool AssemblyProgram::PushPeRelocs()
{
    return PushNew<Instruction>(0, uint32_t(OP_PE_RELOCS));
}

bool AssemblyProgram::PushElfRelocs()
{
    return PushNew<Instruction>(0, uint32_t(OP_ELF_RELOCS));
}

bool AssemblyProgram::PushElfArmRelocs()
{
    return PushNew<Instruction>(0, uint32_t(OP_ELF_ARM_RELOCS));
}

bool AssemblyProgram::BuildByteCache()
{
    Instruction **cache = new (std::nothrow) Instruction *[kByteValues];
    if (!cache)
        return false;
    for (int i = 0; i < kByteValues; ++i) {
        cache[i] = m_arena.Make<ByteInstruction>(static_cast<uint8_t>(i));
        if (!cache[i]) {
            delete[] cache;
            return false;
        }
    }
    m_byteCache = cache;
    return true;
}

bool AssemblyProgram::PushByte(uint8_t value)
{
    if (m_taking != Taking::KEEP) {
        const ByteInstruction instruction(value);
        return TakeNow(&instruction, 1);
    }
    if (!m_byteCache && !BuildByteCache())
        return false;
    // A failed append leaves the shared instruction in the cache.
    return m_instructions.PushBack(m_byteCache[value]);
}

bool AssemblyProgram::RefuseMissingLabel()
{
    LogStream(1) << kUnreachable;
    return false;
}

bool AssemblyProgram::PushRel32Arm(uint16_t compressedOp, Label *label, const uint8_t *armOp, uint16_t opSize)
{
    if (!label) {
        LogStream(1) << kUnreachable;
        LogStream(1) << kUnreachable;
        return false;
    }
    return PushNew<Rel32ArmInstruction>(0, compressedOp, label, armOp, opSize);
}

Label *AssemblyProgram::MakeLabel(RvaToLabel *labels, uint32_t rva)
{
    Label *label = m_arena.Make<Label>(rva);
    if (!label)
        return nullptr;
    try {
        labels->Insert(label);
    } catch (const std::bad_alloc &) {
        return nullptr; // the label stays unused in the arena
    }
    return label;
}

void AssemblyProgram::NumberMap(RvaToLabel *labels)
{
    int32_t index = 0;
    for (const auto &entry : *labels) {
        if (entry.second->index != Label::kNoIndex)
            LogStream(1) << kUnreachable;
        entry.second->index = index++;
    }
}

void AssemblyProgram::NumberLabels()
{
    if (m_taking == Taking::ENCODE)
        return; // numbered after the counting walk, and the same labels again

    NumberMap(&m_abs32Labels);
    NumberMap(&m_rel32Labels);
}

void AssemblyProgram::ClearLabelIndexes()
{
    for (const RvaToLabel *labels : {&m_abs32Labels, &m_rel32Labels}) {
        for (const auto &entry : *labels)
            entry.second->index = Label::kNoIndex;
    }
}

void AssemblyProgram::FillMapIndexes(RvaToLabel *labels)
{
    // available[i]: index i is not taken yet. Pre-assigned indexes beyond the map's size extend it.
    std::vector<bool> available(labels->size(), true);
    size_t preassigned = 0;
    for (const auto &entry : *labels) {
        const int32_t index = entry.second->index;
        if (index < 0)
            continue;
        while (size_t(index) >= available.size())
            available.push_back(true);
        available[size_t(index)] = false;
        ++preassigned;
    }
    LogStream(3) << preassigned << " of " << labels->size() << " labels pre-assigned";

    const auto take = [&available](Label *label, int64_t index) {
        label->index = static_cast<int32_t>(index);
        available[size_t(index)] = false;
    };

    // Forward: right after the label below.
    size_t forward = 0;
    const Label *previous = nullptr;
    for (const auto &entry : *labels) {
        Label *label = entry.second;
        if (label->index == Label::kNoIndex) {
            const int64_t candidate = previous ? int64_t(previous->index) + 1 : 0;
            if (candidate >= 0 && candidate < int64_t(available.size()) && available[size_t(candidate)]) {
                take(label, candidate);
                ++forward;
            }
        }
        previous = label;
    }

    // Backward: right before the label above.
    size_t backward = 0;
    previous = nullptr;
    for (auto it = labels->rbegin(); it != labels->rend(); ++it) {
        Label *label = it->second;
        if (label->index == Label::kNoIndex) {
            const int64_t p = previous ? previous->index : int64_t(available.size());
            if (p > 0 && p <= int64_t(available.size()) && available[size_t(p - 1)]) {
                take(label, p - 1);
                ++backward;
            }
        }
        previous = label;
    }

    // Infill: the lowest free indexes, in address order.
    size_t infill = 0;
    size_t cursor = 0;
    for (const auto &entry : *labels) {
        Label *label = entry.second;
        if (label->index != Label::kNoIndex)
            continue;
        while (cursor < available.size() && !available[cursor])
            ++cursor;
        if (cursor == available.size())
            available.push_back(true);
        take(label, int64_t(cursor));
        ++cursor;
        ++infill;
    }
    LogStream(3) << "  fill forward " << forward << "  backward " << backward << "  infill " << infill;
}

void AssemblyProgram::FillLabelIndexes()
{
    try {
        FillMapIndexes(&m_abs32Labels);
        FillMapIndexes(&m_rel32Labels);
    } catch (const std::bad_alloc &) {
        LogStream(1) << "FillLabelIndexes: out of memory";
    } catch (const std::length_error &) {
        LogStream(1) << "FillLabelIndexes: out of memory";
    }
}

bool AssemblyProgram::TrimLabels()
{
    if (m_kind != ELF_32_ARM)
        return true;
    LogStream(3) << "TrimLabels: threshold " << kTrimThreshold;

    // The removed labels stay in the arena for the instructions that still point at them.
    m_rel32Labels.RemoveIf([](const Label *label) { return label->count <= kTrimThreshold; });

    for (uint32_t i = 0; i < m_instructions.size(); ++i) {
        const Instruction *instruction = m_instructions[i];
        if (instruction->op() != OP_REL32_ARM)
            continue;
        const auto *branch = static_cast<const Rel32ArmInstruction *>(instruction);
        if (branch->label()->count > kTrimThreshold)
            continue;
        if (branch->opSize() == 0)
            return false;
        Instruction *bytes = m_arena.Make<BytesInstruction>(branch->armOp(), branch->opSize());
        if (!bytes)
            return false;
        m_instructions[i] = bytes;
    }
    return true;
}

bool AssemblyProgram::SetUpEncoded(EncodedProgram *encoded, uint32_t instructions, uint64_t literalBytes) const
{
    encoded->set_image_base(m_imageBase);
    bool ok = true;
    for (auto it = m_abs32Labels.begin(); ok && it != m_abs32Labels.end(); ++it)
        ok = encoded->SetAbs32Rva(it->second->index, it->second->rva);
    for (auto it = m_rel32Labels.begin(); ok && it != m_rel32Labels.end(); ++it)
        ok = encoded->SetRel32Rva(it->second->index, it->second->rva);
    if (ok)
        encoded->FillRvaGaps();
    // Every instruction makes at most one op.
    return ok && encoded->Reserve(instructions, literalBytes);
}

EncodedProgram *AssemblyProgram::Encode() const
{
    EncodedProgram *encoded = new (std::nothrow) EncodedProgram();
    if (!encoded)
        return nullptr;
    uint64_t literalBytes = 0;
    for (uint32_t i = 0; i < m_instructions.size(); ++i)
        literalBytes += LiteralBytes(m_instructions[i]);
    bool ok = SetUpEncoded(encoded, m_instructions.size(), literalBytes);
    for (uint32_t i = 0; ok && i < m_instructions.size(); ++i)
        ok = EncodeInstruction(encoded, m_instructions[i], m_kind);
    if (!ok) {
        DeleteEncodedProgram(encoded);
        return nullptr;
    }
    return encoded;
}

bool AssemblyProgram::StartEncoding(EncodedProgram *encoded)
{
    if (m_taking != Taking::COUNT || !SetUpEncoded(encoded, m_countedInstructions, m_countedLiteralBytes))
        return false;
    m_target = encoded;
    m_taking = Taking::ENCODE;
    return true;
}

Label *AssemblyProgram::InstructionAbs32Label(const Instruction *instruction)
{
    if (instruction->op() == OP_ABS32)
        return static_cast<const LabelInstruction *>(instruction)->label();
    return nullptr;
}

Label *AssemblyProgram::InstructionRel32Label(const Instruction *instruction)
{
    if (instruction->op() == OP_REL32)
        return static_cast<const LabelInstruction *>(instruction)->label();
    if (instruction->op() == OP_REL32_ARM)
        return static_cast<const Rel32ArmInstruction *>(instruction)->label();
    return nullptr;
}

void AssemblyProgram::PrintLabelCounts(const RvaToLabel &labels) const
{
    for (const auto &entry : labels) {
        if (entry.second->index != Label::kNoIndex)
            std::printf("%d\n", entry.second->count);
    }
}

void AssemblyProgram::PrintRel32LabelCounts() const
{
    PrintLabelCounts(m_rel32Labels);
}

int TrimAssemblyProgram(AssemblyProgram *program)
{
    return program->TrimLabels() ? Status::OK : Status::TRIM_FAILED;
}

int EncodeAssemblyProgram(AssemblyProgram *program, EncodedProgram **out)
{
    *out = nullptr;
    EncodedProgram *encoded = program->Encode();
    if (!encoded)
        return Status::GENERAL_ERROR;
    *out = encoded;
    return Status::OK;
}

void DeleteAssemblyProgram(AssemblyProgram *program)
{
    delete program;
}

} // namespace corvapatch
