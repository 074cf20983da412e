#include "encodedprogram.h"

#include "armbranch.h"
#include "executabletype.h"
#include "logstream.h"
#include "sinkstream.h"
#include "sinkstreamset.h"
#include "sourcestream.h"
#include "sourcestreamset.h"
#include "status.h"
#include "varint.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace corvapatch {

namespace {

// Streams of the serialised form.
enum : size_t {
    kStreamBaseAndOrigins = 0,
    kStreamOps = 1,
    kStreamCopyBytes = 2,
    kStreamAbs32Ix = 3,
    kStreamRel32Ix = 4,
    kStreamAbs32Rvas = 5,
    kStreamRel32Rvas = 6,
    kStreamCopyCounts = 7,
    kStreamsRead = 9, // streams 0 to 8 must be used up after a read
    kStreamsWritten = 8,
};

constexpr uint32_t kRelocPageMask = 0xFFFu;
constexpr uint32_t kRelocBlockEntries = 4096;
constexpr uint32_t kPeRelocType32 = 3;
constexpr uint32_t kPeRelocType64 = 10;
constexpr uint32_t kElfRelocType386 = 8;
constexpr uint32_t kElfRelocTypeArm = 23;

// Writes into the room a sink already has and commits the bytes with one Extend, instead of one checked append
// per operand; beyond that room it writes through the sink itself. Flush before the sink is used otherwise.
class RoomWriter
{
public:
    explicit RoomWriter(SinkStream *sink) { Reset(sink); }

    void Reset(SinkStream *sink)
    {
        m_sink = sink;
        m_tail = sink->Tail();
        m_spare = m_tail ? std::min(sink->Capacity() - sink->Length(), sink->Room()) : 0;
        m_pending = 0;
    }
    [[nodiscard]] bool Write(const uint8_t *data, size_t n)
    {
        if (n != 0 && n <= m_spare - m_pending) {
            std::memcpy(m_tail + m_pending, data, n);
            m_pending += n;
            return true;
        }
        if (!Flush() || !m_sink->Write(data, n))
            return false;
        Reset(m_sink);
        return true;
    }
    [[nodiscard]] bool WriteU16(uint32_t value)
    {
        const uint8_t bytes[2] = {uint8_t(value), uint8_t(value >> 8)};
        return Write(bytes, 2);
    }
    [[nodiscard]] bool WriteU32(uint32_t value)
    {
        const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
        return Write(bytes, 4);
    }
    // Commits what was written; the writer then starts over at the sink's new end.
    [[nodiscard]] bool Flush()
    {
        const size_t pending = m_pending;
        const bool ok = pending == 0 || m_sink->Extend(pending);
        Reset(m_sink);
        return ok;
    }

private:
    SinkStream *m_sink = nullptr;
    uint8_t *m_tail = nullptr;
    size_t m_spare = 0; // bytes at m_tail the sink holds and may take
    size_t m_pending = 0; // of them written, not yet committed
};

// The exact length of the varints of values (of their deltas when deltas) and their count.
uint64_t VarintsLength(const EncodedProgram::U32Array &values, bool deltas)
{
    const uint32_t *const data = values.data();
    const uint32_t count = values.size();
    uint64_t total = Varint32Length(count);
    uint32_t previous = 0;
    for (uint32_t i = 0; i < count; ++i) {
        total += Varint32Length(deltas ? data[i] - previous : data[i]);
        previous = data[i];
    }
    return total;
}

// The count and the values (each as the difference to the one before, the first to 0, when deltas), unsigned
// 32-bit. Their exact length is reserved first, so they are encoded straight into the sink's tail: a program's
// streams take millions of values.
bool WriteVarints(SinkStream *sink, const EncodedProgram::U32Array &values, bool deltas)
{
    const uint64_t total = VarintsLength(values, deltas);
    if (total > sink->Room() || !sink->Reserve(static_cast<size_t>(total)))
        return false;
    // Locals, not the array's members: stores through the byte cursor could alias those, so every access
    // would load them again.
    const uint32_t *const data = values.data();
    const uint32_t count = values.size();
    uint8_t *const start = sink->Tail();
    uint8_t *cursor = start + EncodeVarint32(count, start);
    uint32_t previous = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t value = deltas ? data[i] - previous : data[i];
        previous = data[i];
        if (value < 0x80)
            *cursor++ = static_cast<uint8_t>(value);
        else
            cursor += EncodeVarint32(value, cursor);
    }
    return sink->Extend(static_cast<size_t>(cursor - start));
}

bool WriteValues(SinkStream *sink, const EncodedProgram::U32Array &values)
{
    return WriteVarints(sink, values, false);
}

bool WriteDeltas(SinkStream *sink, const EncodedProgram::U32Array &rvas)
{
    return WriteVarints(sink, rvas, true);
}

// A count read from the stream, checked against what the stream can hold before anything is allocated: every
// entry takes at least one byte.
bool ReadCount(SourceStream *source, uint32_t *count)
{
    return source->ReadVarint32(count) && *count <= source->Remaining();
}

bool ReadValues(SourceStream *source, EncodedProgram::U32Array *values, bool deltas)
{
    values->Clear();
    uint32_t count = 0;
    // Reserved exactly first: Resize alone would round the capacity up.
    if (!ReadCount(source, &count) || !values->Reserve(count) || !values->Resize(count, 0))
        return false;
    // Decoded straight from the bytes into the array: a program's streams hold millions of values.
    const uint8_t *const start = source->Current();
    const uint8_t *const end = start + source->Remaining();
    const uint8_t *p = start;
    uint32_t *out = values->data();
    uint32_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t value = 0;
        if (p < end && *p < 0x80) {
            value = *p++;
        } else if (end - p >= 2 && p[1] < 0x80) {
            // Two bytes: label indexes and address deltas mostly take them.
            value = uint32_t(p[0] & 0x7F) | uint32_t(p[1]) << 7;
            p += 2;
        } else {
            p = ParseVarint32(p, end, &value);
            if (!p)
                return false;
        }
        total = deltas ? total + value : value;
        out[i] = total;
    }
    return source->Skip(static_cast<size_t>(p - start));
}

// Reads an array's entries in order. It holds the array's pointer and size as its own: an assembly writes
// through byte pointers, which could alias the array's members and would make every read load them again.
class Entries
{
public:
    explicit Entries(const EncodedProgram::U32Array &values) : m_data(values.data()), m_size(values.size()) { }

    // The next entry; false when none is left.
    [[nodiscard]] bool Next(uint32_t *value)
    {
        if (m_at >= m_size)
            return false;
        *value = m_data[m_at++];
        return true;
    }
    // Entry i, which must be below size().
    uint32_t operator[](uint32_t i) const { return m_data[i]; }
    uint32_t size() const { return m_size; }
    bool UsedUp() const { return m_at == m_size; }

private:
    const uint32_t *m_data;
    uint32_t m_size;
    uint32_t m_at = 0;
};

// The PE base-relocation table: one block per 4 KiB page {page RVA, block size, 16-bit entries
// (type << 12 | offset in page), padded with a 0 entry to a multiple of 4 bytes}. relocs must be sorted.
bool WritePeRelocs(SinkStream *sink, const EncodedProgram::U32Array &relocs, uint32_t type)
{
    RoomWriter out(sink);
    uint32_t i = 0;
    while (i < relocs.size()) {
        const uint32_t page = relocs[i] & ~kRelocPageMask;
        uint32_t end = i;
        while (end < relocs.size() && (relocs[end] & ~kRelocPageMask) == page)
            ++end;
        const uint32_t entries = end - i;
        // A block holds 4096 entries; no image has more relocations in one page.
        if (entries > kRelocBlockEntries)
            return false;
        const uint32_t padded = entries + (entries & 1);
        if (!out.WriteU32(page) || !out.WriteU32(8 + 2 * padded))
            return false;
        for (; i < end; ++i) {
            if (!out.WriteU16((type << 12) | (relocs[i] & kRelocPageMask)))
                return false;
        }
        if (padded != entries && !out.WriteU16(0))
            return false;
    }
    return out.Flush();
}

bool WriteElfRelocs(SinkStream *sink, const EncodedProgram::U32Array &relocs, uint32_t type)
{
    RoomWriter out(sink);
    for (uint32_t i = 0; i < relocs.size(); ++i) {
        if (!out.WriteU32(relocs[i]) || !out.WriteU32(type))
            return false;
    }
    return out.Flush();
}

} // namespace

bool EncodedProgram::SetRva(U32Array *rvas, int32_t index, uint32_t rva)
{
    if (index < 0)
        return false;
    if (!rvas->Resize(uint64_t(index) + 1, kUnsetRva))
        return false;
    (*rvas)[uint32_t(index)] = rva;
    return true;
}

bool EncodedProgram::SetAbs32Rva(int32_t index, uint32_t rva)
{
    return SetRva(&m_abs32Rvas, index, rva);
}

bool EncodedProgram::SetRel32Rva(int32_t index, uint32_t rva)
{
    return SetRva(&m_rel32Rvas, index, rva);
}

void EncodedProgram::FillGaps(U32Array *rvas)
{
    uint32_t previous = 0;
    for (uint32_t i = 0; i < rvas->size(); ++i) {
        if ((*rvas)[i] == kUnsetRva)
            (*rvas)[i] = previous;
        previous = (*rvas)[i];
    }
}

void EncodedProgram::FillRvaGaps()
{
    FillGaps(&m_abs32Rvas);
    FillGaps(&m_rel32Rvas);
}

bool EncodedProgram::Reserve(uint32_t ops, uint64_t copyBytes)
{
    // The room for the literals' count in front lets WriteToReleasing move them into a stream without a copy.
    return m_ops.Reserve(ops) && m_copyBytes.Reserve(copyBytes + kMaxVarint32Length);
}

bool EncodedProgram::AppendOrigin(uint32_t rva)
{
    return m_ops.PushBack(ENC_ORIGIN) && m_origins.PushBack(rva);
}

bool EncodedProgram::AppendCopy(uint32_t count, const uint8_t *bytes)
{
    // A lone byte before this copy becomes the start of a counted copy.
    if (!m_ops.empty() && m_ops.back() == ENC_COPY1) {
        m_ops.back() = ENC_COPY;
        if (!m_copyCounts.PushBack(1))
            return false;
    }
    if (!m_ops.empty() && m_ops.back() == ENC_COPY) {
        if (m_copyCounts.empty())
            return false;
        m_copyCounts.back() += count;
        return AppendLiterals(bytes, count);
    }
    if (count == 1)
        return m_ops.PushBack(ENC_COPY1) && AppendLiterals(bytes, 1);
    return m_ops.PushBack(ENC_COPY) && m_copyCounts.PushBack(count) && AppendLiterals(bytes, count);
}

bool EncodedProgram::AppendLiterals(const uint8_t *bytes, uint32_t count)
{
    // Encode reserves room for all literals first, so they are copied in place without Append's growth path.
    if (count != 0 && !m_copyBytes.Failed() && count <= m_copyBytes.Capacity() - m_copyBytes.Length()) {
        std::memcpy(m_copyBytes.Data() + m_copyBytes.Length(), bytes, count);
        return m_copyBytes.Extend(count);
    }
    return m_copyBytes.Append(bytes, count);
}

bool EncodedProgram::AppendRel32(int32_t index)
{
    return index >= 0 && m_ops.PushBack(ENC_REL32) && m_rel32Ix.PushBack(uint32_t(index));
}

bool EncodedProgram::AppendAbs32(int32_t index)
{
    return index >= 0 && m_ops.PushBack(ENC_ABS32) && m_abs32Ix.PushBack(uint32_t(index));
}

bool EncodedProgram::AppendRel32Arm(uint16_t compressedOp, int32_t index)
{
    return index >= 0 && m_ops.PushBack(compressedOp) && m_rel32Ix.PushBack(uint32_t(index));
}

bool EncodedProgram::AppendPeRelocs(int kind)
{
    return m_ops.PushBack(kind == WIN_32_X86 ? ENC_PE_RELOCS : ENC_PE64_RELOCS);
}

bool EncodedProgram::AppendElfRelocs()
{
    return m_ops.PushBack(ENC_ELF_RELOCS);
}

bool EncodedProgram::AppendElfArmRelocs()
{
    return m_ops.PushBack(ENC_ELF_ARM_RELOCS);
}

void EncodedProgram::PrintSummary() const
{
    LogStream(3) << "EncodedProgram Summary"
                 << "\n  image base  " << m_imageBase << "\n  abs32 rvas  " << m_abs32Rvas.size()
                 << "\n  rel32 rvas  " << m_rel32Rvas.size() << "\n  ops         " << m_ops.size()
                 << "\n  origins     " << m_origins.size() << "\n  copy_counts " << m_copyCounts.size()
                 << "\n  copy_bytes  " << CopyLength() << "\n  abs32_ix    " << m_abs32Ix.size()
                 << "\n  rel32_ix    " << m_rel32Ix.size();
}

bool EncodedProgram::WriteTo(SinkStreamSet *set) const
{
    return WriteStreams(set, true);
}

bool EncodedProgram::WriteStreams(SinkStreamSet *set, bool withCopyBytes) const
{
    if (set->count() < kStreamsWritten)
        return false;
    SinkStream *baseAndOrigins = set->stream(kStreamBaseAndOrigins);
    if (!baseAndOrigins->WriteVarint32(static_cast<uint32_t>(m_imageBase)))
        return false;
    bool ok = WriteDeltas(set->stream(kStreamAbs32Rvas), m_abs32Rvas);
    ok = WriteDeltas(set->stream(kStreamRel32Rvas), m_rel32Rvas) && ok;
    ok = WriteValues(baseAndOrigins, m_origins) && ok;

    SinkStream *ops = set->stream(kStreamOps);
    const uint64_t room = uint64_t(m_ops.size()) + 5;
    const uint64_t minimum = ops->Length() < 256 ? 256 - ops->Length() : 0;
    ok = ops->Reserve(size_t(std::max(room, minimum))) && ok;
    ok = WriteValues(ops, m_ops) && ok;

    ok = WriteValues(set->stream(kStreamCopyCounts), m_copyCounts) && ok;
    SinkStream *copyBytes = set->stream(kStreamCopyBytes);
    if (withCopyBytes)
        ok = copyBytes->WriteVarint32(CopyLength()) && copyBytes->Write(CopyBytes(), CopyLength()) && ok;
    ok = WriteValues(set->stream(kStreamAbs32Ix), m_abs32Ix) && ok;
    ok = WriteValues(set->stream(kStreamRel32Ix), m_rel32Ix) && ok;
    return ok;
}

bool EncodedProgram::WriteToReleasing(SinkStreamSet *set)
{
    SinkStream *copyBytes = set->count() < kStreamsWritten ? nullptr : set->stream(kStreamCopyBytes);
    if (!copyBytes || m_readCopyBytes || copyBytes->Length() != 0 || copyBytes->Failed() ||
        m_copyBytes.Failed() || m_copyBytes.Capacity() - m_copyBytes.Length() < kMaxVarint32Length)
        return WriteTo(set);
    // The stream's form is the count followed by the bytes: the bytes shift up in place to make room for it.
    uint8_t count[kMaxVarint32Length];
    const uint32_t length = m_copyBytes.Length();
    const size_t countLength = EncodeVarint32(length, count);
    if (length + countLength > copyBytes->Room())
        return WriteTo(set);
    if (length > 0)
        std::memmove(m_copyBytes.Data() + countLength, m_copyBytes.Data(), length);
    std::memcpy(m_copyBytes.Data(), count, countLength);
    const bool moved = m_copyBytes.Extend(countLength) && copyBytes->Adopt(&m_copyBytes);
    return WriteStreams(set, false) && moved;
}

bool EncodedProgram::ReadFrom(SourceStreamSet *set, bool inPlace)
{
    if (set->count() < kStreamsRead)
        return false;
    SourceStream *baseAndOrigins = set->stream(kStreamBaseAndOrigins);
    uint32_t imageBase = 0;
    if (!baseAndOrigins->ReadVarint32(&imageBase))
        return false;
    m_imageBase = imageBase;
    if (!ReadValues(set->stream(kStreamAbs32Rvas), &m_abs32Rvas, true) ||
        !ReadValues(set->stream(kStreamRel32Rvas), &m_rel32Rvas, true) ||
        !ReadValues(baseAndOrigins, &m_origins, false) || !ReadValues(set->stream(kStreamOps), &m_ops, false) ||
        !ReadValues(set->stream(kStreamCopyCounts), &m_copyCounts, false))
        return false;

    SourceStream *copyBytes = set->stream(kStreamCopyBytes);
    uint32_t count = 0;
    m_copyBytes.Retire();
    m_readCopyBytes = nullptr;
    m_readCopyLength = 0;
    if (!ReadCount(copyBytes, &count) || (!inPlace && !m_copyBytes.Reserve(std::max<uint32_t>(count, 256))))
        return false;
    const uint8_t *bytes = copyBytes->Current();
    if (!copyBytes->Skip(count))
        return false;
    if (inPlace) {
        static const uint8_t kNoBytes = 0;
        m_readCopyBytes = count > 0 ? bytes : &kNoBytes;
        m_readCopyLength = count;
    } else if (!m_copyBytes.Append(bytes, count)) {
        return false;
    }

    if (!ReadValues(set->stream(kStreamAbs32Ix), &m_abs32Ix, false) ||
        !ReadValues(set->stream(kStreamRel32Ix), &m_rel32Ix, false))
        return false;
    for (size_t i = 0; i < kStreamsRead; ++i) {
        if (!set->stream(i)->Empty())
            return false;
    }
    return true;
}

bool EncodedProgram::AssembleTo(SinkStream *sink)
{
    uint32_t rva = 0;
    uint32_t byteAt = 0;
    Entries ops(m_ops), origins(m_origins), copyCounts(m_copyCounts), abs32Ix(m_abs32Ix), rel32Ix(m_rel32Ix);
    const Entries abs32Rvas(m_abs32Rvas), rel32Rvas(m_rel32Rvas);
    uint32_t peRelocType = 0;  // 0: no PE table pending
    uint32_t elfRelocType = 0; // 0: no ELF table pending
    SinkStream relocated;      // the output after a relocation op, which goes behind the table
    RoomWriter out(sink);
    const uint8_t *copyBytes = CopyBytes();
    const uint32_t copyLength = CopyLength();

    uint32_t op = 0;
    while (ops.Next(&op)) {
        switch (op) {
        case ENC_ORIGIN:
            if (!origins.Next(&rva))
                return false;
            break;
        case ENC_COPY: {
            uint32_t count = 0;
            if (!copyCounts.Next(&count) || count > copyLength - byteAt ||
                !out.Write(copyBytes + byteAt, count))
                return false;
            byteAt += count;
            rva += count;
            break;
        }
        case ENC_COPY1:
            if (byteAt >= copyLength || !out.Write(copyBytes + byteAt, 1))
                return false;
            ++byteAt;
            ++rva;
            break;
        case ENC_REL32: {
            uint32_t index = 0;
            if (!rel32Ix.Next(&index) || index >= rel32Rvas.size() ||
                !out.WriteU32(rel32Rvas[index] - 4 - rva))
                return false;
            rva += 4;
            break;
        }
        case ENC_ABS32: {
            uint32_t index = 0;
            if (!abs32Ix.Next(&index) || index >= abs32Rvas.size() || !m_abs32Relocs.PushBack(rva) ||
                !out.WriteU32(abs32Rvas[index] + static_cast<uint32_t>(m_imageBase)))
                return false;
            rva += 4;
            break;
        }
        case ENC_PE_RELOCS:
        case ENC_PE64_RELOCS:
            if (peRelocType)
                return false;
            peRelocType = op == ENC_PE_RELOCS ? kPeRelocType32 : kPeRelocType64;
            if (!out.Flush())
                return false;
            out.Reset(&relocated);
            break;
        case ENC_ELF_RELOCS:
        case ENC_ELF_ARM_RELOCS:
            if (elfRelocType)
                return false;
            elfRelocType = op == ENC_ELF_RELOCS ? kElfRelocType386 : kElfRelocTypeArm;
            if (!out.Flush())
                return false;
            out.Reset(&relocated);
            break;
        default: {
            const uint32_t formTag = op & 0xF000;
            uint32_t index = 0;
            uint32_t value = 0;
            if (formTag < 0x1000 || formTag > 0x5000 || !rel32Ix.Next(&index) ||
                index >= rel32Rvas.size())
                return false;
            const int form = int(formTag >> 12) - 1;
            if (!DecompressArmBranch(form, static_cast<uint16_t>(op), rel32Rvas[index] - rva, &value))
                return false;
            if (form <= 1) {
                if (!out.WriteU16(value))
                    return false;
                rva += 2;
            } else {
                // Thumb-2 instructions are stored as two halfwords, the first one first.
                if (form >= 3)
                    value = (value >> 16) | (value << 16);
                if (!out.WriteU32(value))
                    return false;
                rva += 4;
            }
            break;
        }
        }
    }
    if (!out.Flush())
        return false;

    if (peRelocType) {
        std::sort(m_abs32Relocs.data(), m_abs32Relocs.data() + m_abs32Relocs.size());
        if (!WritePeRelocs(sink, m_abs32Relocs, peRelocType) || !sink->Append(&relocated))
            return false;
    }
    if (elfRelocType) {
        std::sort(m_abs32Relocs.data(), m_abs32Relocs.data() + m_abs32Relocs.size());
        if (!WriteElfRelocs(sink, m_abs32Relocs, elfRelocType) || !sink->Append(&relocated))
            return false;
    }
    // Every operand must have been used; origins left over do not matter.
    return copyCounts.UsedUp() && byteAt == copyLength && abs32Ix.UsedUp() && rel32Ix.UsedUp();
}

int WriteEncodedProgram(EncodedProgram *program, SinkStreamSet *set)
{
    return program->WriteTo(set) ? Status::OK : Status::STREAM_ERROR;
}

int WriteEncodedProgramReleasing(EncodedProgram *program, SinkStreamSet *set)
{
    return program->WriteToReleasing(set) ? Status::OK : Status::STREAM_ERROR;
}

namespace {

int ReadProgram(SourceStreamSet *set, bool inPlace, EncodedProgram **out)
{
    *out = nullptr;
    EncodedProgram *program = nullptr;
    try {
        program = new EncodedProgram();
    } catch (const std::bad_alloc &) {
        return Status::DESERIALIZATION_FAILED;
    }
    if (!program->ReadFrom(set, inPlace)) {
        DeleteEncodedProgram(program);
        return Status::DESERIALIZATION_FAILED;
    }
    *out = program;
    return Status::OK;
}

} // namespace

int ReadEncodedProgram(SourceStreamSet *set, EncodedProgram **out)
{
    return ReadProgram(set, false, out);
}

int ReadEncodedProgramInPlace(SourceStreamSet *set, EncodedProgram **out)
{
    return ReadProgram(set, true, out);
}

int Assemble(EncodedProgram *program, SinkStream *sink)
{
    return program->AssembleTo(sink) ? Status::OK : Status::ASSEMBLY_FAILED;
}

void DeleteEncodedProgram(EncodedProgram *program)
{
    delete program;
}

} // namespace corvapatch
