#pragma once

namespace corvapatch {
class AssemblyProgram;
}

namespace patchwriter {

// Renumbers the labels of newProgram so that a label that is the counterpart of a label of oldProgram takes that
// label's index, and the others take the free indexes next to their neighbours'. With the same index on both sides,
// an unchanged reference encodes to the same number in both programs, so the element correction between them
// stays small when code was inserted or removed.
//
// Counterparts are found without trusting addresses: the two programs' instruction streams are aligned (unique
// runs of instructions found in both, extended in both directions while they mostly agree), every pair of aligned
// references votes for its two labels, and the pairs are taken one to one by votes. A label no aligned reference
// names is matched by the address shift of its nearest matched neighbour. Deterministic.
void MatchLabelIndexes(const corvapatch::AssemblyProgram &oldProgram, corvapatch::AssemblyProgram *newProgram);

} // namespace patchwriter
