#include "disassembler.h"

#include "assemblyprogram.h"
#include "disassembler_elf_32_arm.h"
#include "disassembler_elf_32_x86.h"
#include "disassembler_elf_64_x64.h"
#include "disassembler_macho.h"
#include "disassembler_win32_x64.h"
#include "disassembler_win32_x86.h"
#include "encodedprogram.h"
#include "status.h"

#include <exception>
#include <memory>
#include <new>

namespace corvapatch {

namespace {

using Factory = Disassembler *(*)(const uint8_t *start, uint32_t length);

template <typename T>
Disassembler *Construct(const uint8_t *start, uint32_t length)
{
    return new T(start, length);
}

// The detection order: PE x86, PE x64, ELF x86, ELF x64, ELF ARM, Mach-O. The first parser that accepts a
// buffer takes it, and patches depend on that choice, so the order must not change. Each format adds its line
// here; the list ends with nullptr.
const Factory kFactories[] = {
    Construct<DisassemblerWin32X86>,
    Construct<DisassemblerWin32X64>,
    Construct<DisassemblerElf32X86>,
    Construct<DisassemblerElf64X64>,
    Construct<DisassemblerElf32ARM>,
    Construct<DisassemblerMacho>,
    nullptr,
};

} // namespace

Disassembler *MakeDisassembler(const uint8_t *start, size_t length)
{
    if (length > UINT32_MAX)
        return nullptr;
    try {
        for (const Factory make : kFactories) {
            if (!make)
                break;
            // Owned until it accepts: a header parse that runs out of memory releases it on the way out.
            std::unique_ptr<Disassembler> disassembler(make(start, static_cast<uint32_t>(length)));
            if (disassembler->ParseHeader())
                return disassembler.release();
        }
    } catch (const std::exception &) {
        // Out of memory while building or running a parser: no parser can take the buffer.
    }
    return nullptr;
}

int ParseExecutable(const uint8_t *start, size_t length, AssemblyProgram **out)
{
    *out = nullptr;
    Disassembler *disassembler = MakeDisassembler(start, length);
    if (!disassembler)
        return Status::INPUT_NOT_RECOGNISED;
    AssemblyProgram *program = nullptr;
    bool disassembled = false;
    // The disassemblers fill standard containers; running out of memory there (bad_alloc, length_error) is a
    // failed disassembly, never an exception leaving the engine.
    try {
        program = new AssemblyProgram(disassembler->kind());
        disassembled = disassembler->Disassemble(program);
    } catch (const std::exception &) {
        disassembled = false;
    }
    delete disassembler;
    if (!disassembled) {
        DeleteAssemblyProgram(program);
        return Status::DISASSEMBLY_FAILED;
    }
    *out = program;
    return Status::OK;
}

int ParseAndEncodeExecutable(const uint8_t *start, size_t length, EncodedProgram **out,
                             const std::function<void(const uint8_t *end)> &literalsEncoded)
{
    *out = nullptr;
    std::unique_ptr<Disassembler> disassembler(MakeDisassembler(start, length));
    if (!disassembler)
        return Status::INPUT_NOT_RECOGNISED;
    if (disassembler->kind() == ELF_32_ARM) {
        // Trimming rewrites the kept instructions.
        disassembler.reset();
        AssemblyProgram *program = nullptr;
        if (const int parsed = ParseExecutable(start, length, &program); parsed != Status::OK)
            return parsed;
        int status = TrimAssemblyProgram(program);
        if (status == Status::OK)
            status = EncodeAssemblyProgram(program, out);
        DeleteAssemblyProgram(program);
        return status;
    }

    std::unique_ptr<AssemblyProgram> program;
    bool walked = false;
    try {
        program = std::make_unique<AssemblyProgram>(disassembler->kind());
        program->CountOnly();
        walked = disassembler->Disassemble(program.get());
    } catch (const std::exception &) {
        walked = false;
    }
    if (!walked)
        return Status::DISASSEMBLY_FAILED;
    if (const int trimmed = TrimAssemblyProgram(program.get()); trimmed != Status::OK)
        return trimmed;

    // The second walk pushes the same instructions in the same order.
    std::unique_ptr<EncodedProgram> encoded(new (std::nothrow) EncodedProgram());
    try {
        program->SetLiteralsEncoded(literalsEncoded);
        walked = encoded && program->StartEncoding(encoded.get()) && disassembler->DisassembleAgain(program.get());
    } catch (const std::exception &) {
        walked = false;
    }
    if (!walked)
        return Status::GENERAL_ERROR;
    *out = encoded.release();
    return Status::OK;
}

int DetectExecutableType(const uint8_t *start, size_t length, int *kind, size_t *detectedLength)
{
    Disassembler *disassembler = MakeDisassembler(start, length);
    if (!disassembler) {
        *kind = EXE_UNKNOWN;
        *detectedLength = 0;
        return Status::INPUT_NOT_RECOGNISED;
    }
    *kind = disassembler->kind();
    *detectedLength = disassembler->length();
    delete disassembler;
    return Status::OK;
}

} // namespace corvapatch
