#pragma once

#include "disassembler_elf.h"
#include "helperthread.h"
#include "x86startbytes.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <vector>

namespace corvapatch {

namespace x86scan {

// A step of the scan over a reference: from the start of its instruction to past its displacement. The scan
// never stands on the positions in between.
struct Jump
{
    size_t from;
    size_t to;
};

} // namespace x86scan

template <typename Format>
template <typename Rule>
bool DisassemblerElf<Format>::ScanX86Branches(const ElfSection &section, Rule rule, const X86StartBytes &starts)
{
    using x86scan::Jump;
    if (!SectionInImage(section))
        return false;
    const size_t begin = static_cast<size_t>(section.offset);
    const size_t end = static_cast<size_t>(section.offset + section.size);
    const uint8_t *bytes = PointerAt(0);
    // Scans from `from` on and gives back where it ended: the end, or the first position it moved on to where
    // stop(position) held. Every reference goes to references and, when jumps is given, its step to jumps.
    const auto scan = [&](size_t from, std::vector<X86TypedRva> *references, std::vector<Jump> *jumps,
                          const auto &stop) -> size_t {
        // Targets mostly fall into the one text segment, so the segment lookup is mostly answered by its last
        // piece.
        FirstCover::Piece loadable;
        X86StartBytes::Cursor cursor(starts, bytes, end);
        size_t p = cursor.Next(from);
        while (p < end) {
            size_t next = p + 1;
            const uint32_t displacement = rule(bytes + p, end - p);
            if (displacement != 0) {
                const size_t q = p + displacement;
                const uint32_t rva = SectionRva(section, q);
                const uint32_t target = rva + ReadLittle32(bytes + q) + 4;
                if (m_loadableSegments.Find(target, &loadable) != FirstCover::kNone) {
                    references->emplace_back(rva);
                    references->back().ComputeRelativeTarget(bytes + q);
                    if (jumps)
                        jumps->push_back({p, q + 4});
                    next = q + 4;
                }
            }
            if (stop(next))
                return next;
            p = cursor.Next(next);
        }
        return end;
    };
    const auto never = [](size_t) { return false; };
    if (end - begin < ScanSplitSize()) {
        scan(begin, &m_x86Rel32, nullptr, never);
        return true;
    }

    // A large section is scanned from its middle on by a second thread at the same time. The scan from the
    // start runs on past the middle until it stands where the second one stood too (on a position no step of
    // the second one passed over): from there both go the same way, so the rest is the second one's. Should
    // they never meet, or the second one fail, the first one finishes alone.
    const size_t middle = begin + (end - begin) / 2;
    std::vector<X86TypedRva> second;
    std::vector<Jump> secondJumps;
    bool secondDone = false;
    HelperThread helper([&] {
        try {
            scan(middle, &second, &secondJumps, never);
            secondDone = true;
        } catch (const std::exception &) {
        }
    });
    const auto meets = [&](size_t position) {
        if (position < middle || position >= end)
            return false;
        helper.Join(); // the second scan's steps are all known from here on
        if (!secondDone)
            return false;
        // The last step of the second scan that starts at or before position.
        const auto after = std::upper_bound(secondJumps.begin(), secondJumps.end(), position,
                                            [](size_t at, const Jump &jump) { return at < jump.from; });
        if (after == secondJumps.begin())
            return true;
        const Jump &jump = *std::prev(after);
        return jump.from == position || jump.to <= position;
    };
    const size_t met = scan(begin, &m_x86Rel32, nullptr, meets);
    helper.Join();
    if (met < end && secondDone) {
        const auto first = std::lower_bound(secondJumps.begin(), secondJumps.end(), met,
                                            [](const Jump &jump, size_t at) { return jump.from < at; });
        m_x86Rel32.insert(m_x86Rel32.end(), second.begin() + (first - secondJumps.begin()), second.end());
    }
    return true;
}

} // namespace corvapatch
