#include "labelmatcher.h"

#include "assemblyprogram.h"
#include "instruction.h"
#include "label.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace patchwriter {

using namespace corvapatch;

namespace {

// A program as a sequence of symbols: 0 to 255 a literal byte, kReference + op a reference (without its label,
// whose index is what differs between the programs), kOther + op any other instruction.
constexpr uint16_t kReference = 0x100;
constexpr uint16_t kOther = 0x200;

// Anchors are runs of this many symbols; of all runs, those whose mixed hash has the low bits clear are sampled
// (the same runs on both sides, since the sample depends on the content only).
constexpr size_t kAnchorLength = 32;
constexpr uint64_t kSampleMask = 7;
// How far an alignment reaches past its anchors (see Align).
constexpr int64_t kMismatchCost = 3;
constexpr int64_t kDrop = 96;

enum LabelMap { ABS32_MAP = 0, REL32_MAP = 1 };

struct Reference
{
    uint32_t position;
    Label *label;
};

struct Linear
{
    std::vector<uint16_t> symbols;
    std::vector<Reference> references; // ascending position
};

Linear Linearize(const AssemblyProgram &program)
{
    Linear linear;
    const InstructionVector &instructions = program.instructions();
    for (uint32_t i = 0; i < instructions.size(); ++i) {
        const Instruction *instruction = instructions[i];
        const InstructionOp op = instruction->op();
        switch (op) {
        case OP_BYTE:
            linear.symbols.push_back(static_cast<const ByteInstruction *>(instruction)->byte());
            break;
        case OP_BYTES: {
            const auto *bytes = static_cast<const BytesInstruction *>(instruction);
            linear.symbols.insert(linear.symbols.end(), bytes->values(), bytes->values() + bytes->length());
            break;
        }
        case OP_ABS32:
        case OP_REL32:
        case OP_REL32_ARM: {
            Label *label = op == OP_ABS32 ? AssemblyProgram::InstructionAbs32Label(instruction)
                                          : AssemblyProgram::InstructionRel32Label(instruction);
            // An ARM branch's form is part of what must agree.
            const uint32_t form = op == OP_REL32_ARM
                ? static_cast<const Rel32ArmInstruction *>(instruction)->compressedOp() >> 12
                : 0;
            linear.references.push_back({static_cast<uint32_t>(linear.symbols.size()), label});
            linear.symbols.push_back(static_cast<uint16_t>(kReference + (form << 4) + op));
            break;
        }
        default:
            linear.symbols.push_back(static_cast<uint16_t>(kOther + op));
            break;
        }
    }
    return linear;
}

uint64_t Mix(uint64_t h)
{
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

// The sampled runs of symbols that occur once only: (hash, position), ascending hash.
std::vector<std::pair<uint64_t, uint32_t>> UniqueRuns(const std::vector<uint16_t> &symbols)
{
    std::vector<std::pair<uint64_t, uint32_t>> runs;
    if (symbols.size() < kAnchorLength)
        return runs;
    constexpr uint64_t base = 0x100000001B3ULL;
    uint64_t top = 1; // base^(kAnchorLength - 1)
    for (size_t i = 1; i < kAnchorLength; ++i)
        top *= base;
    uint64_t hash = 0;
    for (size_t i = 0; i < kAnchorLength; ++i)
        hash = hash * base + symbols[i] + 1;
    for (size_t position = 0;; ++position) {
        if ((Mix(hash) & kSampleMask) == 0)
            runs.emplace_back(hash, static_cast<uint32_t>(position));
        if (position + kAnchorLength >= symbols.size())
            break;
        hash = (hash - (symbols[position] + 1ULL) * top) * base + symbols[position + kAnchorLength] + 1;
    }
    std::sort(runs.begin(), runs.end());
    size_t kept = 0;
    for (size_t i = 0; i < runs.size();) {
        size_t end = i + 1;
        while (end < runs.size() && runs[end].first == runs[i].first)
            ++end;
        if (end == i + 1)
            runs[kept++] = runs[i];
        i = end;
    }
    runs.resize(kept);
    return runs;
}

struct Segment
{
    uint32_t oldStart;
    uint32_t newStart;
    uint32_t length;
};

// Stretches of the new sequence aligned with stretches of the old one, ascending and not overlapping in the new.
// The anchors (runs of kAnchorLength symbols found once in each) are grouped by diagonal (old position less new
// position) in new order; a group covers the whole range between its first and its last anchor, mismatches and
// all, since code edited in place keeps its references where they were. Between two groups the range is split
// where the two diagonals together agree best, and each side keeps only the part next to its group that still
// agrees (an extension ends where its score, +1 per equal symbol and -kMismatchCost per different one, has fallen
// kDrop below its best, and is cut back to the best point).
std::vector<Segment> Align(const std::vector<uint16_t> &old, const std::vector<uint16_t> &newer)
{
    const auto oldRuns = UniqueRuns(old);
    const auto newRuns = UniqueRuns(newer);
    std::vector<std::pair<uint32_t, uint32_t>> anchors; // (new position, old position)
    for (size_t i = 0, j = 0; i < oldRuns.size() && j < newRuns.size();) {
        if (oldRuns[i].first < newRuns[j].first) {
            ++i;
        } else if (newRuns[j].first < oldRuns[i].first) {
            ++j;
        } else {
            const uint32_t o = oldRuns[i].second, n = newRuns[j].second;
            if (std::equal(old.begin() + o, old.begin() + o + kAnchorLength, newer.begin() + n))
                anchors.emplace_back(n, o);
            ++i;
            ++j;
        }
    }
    std::sort(anchors.begin(), anchors.end());

    struct Group
    {
        int64_t diagonal;
        size_t start; // new positions [start, end) are covered by the group's anchors
        size_t end;
    };
    std::vector<Group> groups;
    for (const auto &[n, o] : anchors) {
        const int64_t diagonal = int64_t(o) - int64_t(n);
        if (!groups.empty() && groups.back().diagonal == diagonal) {
            groups.back().end = std::max<size_t>(groups.back().end, n + kAnchorLength);
        } else if (groups.empty() || n >= groups.back().end) {
            // An anchor that overlaps the group before on another diagonal is left out.
            groups.push_back({diagonal, n, n + kAnchorLength});
        }
    }
    if (groups.empty())
        return {};

    const auto score = [&](size_t p, int64_t diagonal) -> int64_t {
        const int64_t o = int64_t(p) + diagonal;
        return o >= 0 && o < int64_t(old.size()) && old[size_t(o)] == newer[p] ? 1 : -kMismatchCost;
    };
    // The end of the agreeing stretch that starts at from, at most to.
    const auto forward = [&](size_t from, size_t to, int64_t diagonal) {
        int64_t sum = 0, best = 0;
        size_t bestEnd = from;
        for (size_t p = from; p < to; ++p) {
            sum += score(p, diagonal);
            if (sum > best) {
                best = sum;
                bestEnd = p + 1;
            } else if (sum < best - kDrop) {
                break;
            }
        }
        return bestEnd;
    };
    // The start of the agreeing stretch that ends at from, at least to.
    const auto backward = [&](size_t from, size_t to, int64_t diagonal) {
        int64_t sum = 0, best = 0;
        size_t bestStart = from;
        for (size_t p = from; p > to; --p) {
            sum += score(p - 1, diagonal);
            if (sum > best) {
                best = sum;
                bestStart = p - 1;
            } else if (sum < best - kDrop) {
                break;
            }
        }
        return bestStart;
    };

    std::vector<size_t> starts(groups.size()), ends(groups.size());
    starts.front() = backward(groups.front().start, 0, groups.front().diagonal);
    ends.back() = forward(groups.back().end, newer.size(), groups.back().diagonal);
    for (size_t i = 0; i + 1 < groups.size(); ++i) {
        const Group &a = groups[i], &b = groups[i + 1];
        // The split s of the gap [a.end, b.start) with the best score of a's diagonal below s and b's above.
        int64_t sum = 0;
        for (size_t p = a.end; p < b.start; ++p)
            sum += score(p, b.diagonal);
        int64_t best = sum;
        size_t split = a.end;
        for (size_t p = a.end; p < b.start; ++p) {
            sum += score(p, a.diagonal) - score(p, b.diagonal);
            if (sum > best) {
                best = sum;
                split = p + 1;
            }
        }
        ends[i] = forward(a.end, split, a.diagonal);
        starts[i + 1] = backward(b.start, split, b.diagonal);
    }
    std::vector<Segment> segments;
    for (size_t i = 0; i < groups.size(); ++i) {
        segments.push_back({static_cast<uint32_t>(int64_t(starts[i]) + groups[i].diagonal),
                            static_cast<uint32_t>(starts[i]), static_cast<uint32_t>(ends[i] - starts[i])});
    }
    return segments;
}

struct Vote
{
    LabelMap map;
    Label *old;
    Label *newer;
};

bool ByLabels(const Vote &a, const Vote &b)
{
    if (a.map != b.map)
        return a.map < b.map;
    if (a.old->rva != b.old->rva)
        return a.old->rva < b.old->rva;
    return a.newer->rva < b.newer->rva;
}

// One vote per pair of references at aligned positions with the same operation.
std::vector<Vote> Votes(const Linear &old, const Linear &newer, const std::vector<Segment> &segments)
{
    std::vector<Vote> votes;
    const auto byPosition = [](const Reference &r, uint32_t position) { return r.position < position; };
    for (const Segment &s : segments) {
        auto o = std::lower_bound(old.references.begin(), old.references.end(), s.oldStart, byPosition);
        auto n = std::lower_bound(newer.references.begin(), newer.references.end(), s.newStart, byPosition);
        for (; n != newer.references.end() && n->position < s.newStart + s.length; ++n) {
            const uint32_t oldPosition = s.oldStart + (n->position - s.newStart);
            while (o != old.references.end() && o->position < oldPosition)
                ++o;
            if (o == old.references.end())
                break;
            const uint16_t symbol = newer.symbols[n->position];
            if (o->position != oldPosition || old.symbols[oldPosition] != symbol)
                continue;
            votes.push_back({symbol == kReference + OP_ABS32 ? ABS32_MAP : REL32_MAP, o->label, n->label});
        }
    }
    return votes;
}

// The old labels' addresses by index, per map, and which indexes a new label has taken.
struct OldIndexes
{
    std::vector<uint32_t> rvas[2];
    std::vector<bool> taken[2];
};

OldIndexes IndexOldLabels(const AssemblyProgram &old)
{
    OldIndexes indexes;
    const RvaToLabel *maps[2] = {&old.abs32_labels(), &old.rel32_labels()};
    for (int m = 0; m < 2; ++m) {
        int32_t top = -1;
        for (const auto &entry : *maps[m])
            top = std::max(top, entry.second->index);
        indexes.rvas[m].assign(size_t(top + 1), 0);
        indexes.taken[m].assign(size_t(top + 1), false);
        for (const auto &entry : *maps[m]) {
            if (entry.second->index >= 0)
                indexes.rvas[m][size_t(entry.second->index)] = entry.first;
        }
    }
    return indexes;
}

bool Take(OldIndexes *indexes, LabelMap map, const Label *old, Label *newer)
{
    if (newer->index != Label::kNoIndex || old->index < 0 || indexes->taken[map][size_t(old->index)])
        return false;
    newer->index = old->index;
    indexes->taken[map][size_t(old->index)] = true;
    return true;
}

// Pairs by descending votes, each label in at most one pair.
void TakeByVotes(std::vector<Vote> votes, OldIndexes *indexes)
{
    std::sort(votes.begin(), votes.end(), ByLabels);
    std::vector<std::pair<size_t, Vote>> counted;
    for (size_t i = 0; i < votes.size();) {
        size_t end = i + 1;
        while (end < votes.size() && votes[end].map == votes[i].map && votes[end].old == votes[i].old &&
               votes[end].newer == votes[i].newer)
            ++end;
        counted.emplace_back(end - i, votes[i]);
        i = end;
    }
    std::stable_sort(counted.begin(), counted.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    for (const auto &entry : counted)
        Take(indexes, entry.second.map, entry.second.old, entry.second.newer);
}

// An unmatched new label takes the old label at its address less the shift of its nearest matched neighbour,
// first looking down, then up.
void TakeByShift(const RvaToLabel &oldLabels, const RvaToLabel &newLabels, LabelMap map, OldIndexes *indexes)
{
    const auto pass = [&](auto begin, auto end) {
        bool known = false;
        int64_t shift = 0;
        for (auto it = begin; it != end; ++it) {
            Label *label = it->second;
            if (label->index == Label::kNoIndex && known) {
                const auto old = oldLabels.find(static_cast<uint32_t>(int64_t(label->rva) - shift));
                if (old != oldLabels.end())
                    Take(indexes, map, old->second, label);
            }
            if (label->index != Label::kNoIndex) {
                known = true;
                shift = int64_t(label->rva) - int64_t(indexes->rvas[map][size_t(label->index)]);
            }
        }
    };
    pass(newLabels.begin(), newLabels.end());
    pass(newLabels.rbegin(), newLabels.rend());
}

} // namespace

void MatchLabelIndexes(const AssemblyProgram &oldProgram, AssemblyProgram *newProgram)
{
    newProgram->ClearLabelIndexes();
    OldIndexes indexes = IndexOldLabels(oldProgram);
    {
        const Linear old = Linearize(oldProgram);
        const Linear newer = Linearize(*newProgram);
        TakeByVotes(Votes(old, newer, Align(old.symbols, newer.symbols)), &indexes);
    }
    TakeByShift(oldProgram.abs32_labels(), newProgram->abs32_labels(), ABS32_MAP, &indexes);
    TakeByShift(oldProgram.rel32_labels(), newProgram->rel32_labels(), REL32_MAP, &indexes);
    newProgram->FillLabelIndexes();
}

} // namespace patchwriter
