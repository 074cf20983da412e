#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace corvapatch {

class AssemblyProgram;
class EncodedProgram;

// Common ground of the executable parsers. A subclass checks its format's headers in ParseHeader (Accept or
// Reject with the refused check's text) and fills a program in Disassemble. The buffer is not owned and must
// outlive the disassembler and the program built from it.
class Disassembler
{
public:
    Disassembler(const uint8_t *start, uint32_t length)
        : m_failureReason("uninitialized"), m_length(length), m_start(start), m_end(start + length)
    {
    }
    virtual ~Disassembler() = default;
    Disassembler(const Disassembler &) = delete;
    Disassembler &operator=(const Disassembler &) = delete;

    // The ExecutableType this class disassembles; 0 for the base.
    virtual int kind() const { return 0; }
    // Free of side effects on the buffer; leaves the failure reason set when it refuses.
    [[nodiscard]] virtual bool ParseHeader() = 0;
    [[nodiscard]] virtual bool Disassemble(AssemblyProgram *program) = 0;
    // After a Disassemble that succeeded: pushes the same instructions again into program, in the same order.
    // A format whose walk can reuse what the first one collected does so; the others disassemble again.
    [[nodiscard]] virtual bool DisassembleAgain(AssemblyProgram *program) { return Disassemble(program); }

    // Why the header was refused, "uninitialized" before ParseHeader, nullptr once accepted.
    const char *failure_reason() const { return m_failureReason; }
    // The bytes that belong to the executable: the whole buffer unless the header says it is shorter.
    uint32_t length() const { return m_length; }
    const uint8_t *start() const { return m_start; }
    const uint8_t *end() const { return m_end; }

protected:
    // No bounds check: callers check offsets against length() first.
    const uint8_t *PointerAt(size_t offset) const { return m_start + offset; }
    bool Accept()
    {
        m_failureReason = nullptr;
        return true;
    }
    bool Reject(const char *reason)
    {
        m_failureReason = reason;
        return false;
    }
    void ShortenLength(uint32_t length)
    {
        if (length < m_length)
            m_length = length;
    }

private:
    const char *m_failureReason;
    uint32_t m_length;
    const uint8_t *m_start;
    const uint8_t *m_end;
};

// The first disassembler, in the fixed detection order, whose ParseHeader accepts the buffer; nullptr when none
// does (or the buffer is longer than 32 bits can count, or allocation fails). The caller deletes it.
Disassembler *MakeDisassembler(const uint8_t *start, size_t length);

// Sets *out to null, then to the disassembled program: OK, INPUT_NOT_RECOGNISED when no parser accepts the
// buffer, DISASSEMBLY_FAILED when the accepted parser fails. The caller releases the program with
// DeleteAssemblyProgram.
[[nodiscard]] int ParseExecutable(const uint8_t *start, size_t length, AssemblyProgram **out);

// ParseExecutable, TrimAssemblyProgram and EncodeAssemblyProgram in one, with the statuses they return (an
// encoding failure is GENERAL_ERROR), for a caller that needs only the encoded program, which it deletes with
// DeleteEncodedProgram. Unless the labels need trimming, the program is walked twice instead of kept: first to make
// and number the labels, then to encode each instruction as it comes (DisassembleAgain, which reuses the references
// the first walk collected). A large executable's instructions take about half the memory of its encoded program,
// and making them costs about what the second walk costs.
// literalsEncoded, when given, is called as the second walk goes with the end of each run of literal bytes it has
// encoded (see AssemblyProgram::SetLiteralsEncoded).
[[nodiscard]] int ParseAndEncodeExecutable(const uint8_t *start, size_t length, EncodedProgram **out,
                                           const std::function<void(const uint8_t *end)> &literalsEncoded = {});

// With an accepting parser: *kind its ExecutableType, *detectedLength its length after ParseHeader, OK.
// Otherwise 0, 0 and INPUT_NOT_RECOGNISED.
[[nodiscard]] int DetectExecutableType(const uint8_t *start, size_t length, int *kind, size_t *detectedLength);

} // namespace corvapatch
