#pragma once

#include <cstdint>

namespace corvapatch {

// Suffix sorting by induced sorting (SA-IS), linear in the length of the text. Suffixes compare as if the
// text were followed by a terminator smaller than every symbol, so a suffix that is a prefix of another
// sorts first.

// Fills sa[0..n) with the start positions of the suffixes of text[0..n) in ascending order.
// Returns 0 on success, -1 for a null buffer or a negative length, -2 when working memory runs out.
[[nodiscard]] int SuffixSortBytes(const uint8_t *text, int32_t *sa, int32_t n);

// As SuffixSortBytes for a text of symbols in [0, k). Also returns -1 for k < 1 or a symbol outside [0, k).
[[nodiscard]] int SuffixSortInts(const int32_t *text, int32_t *sa, int32_t n, int32_t k);

// Burrows-Wheeler transform of text[0..n) with the terminator implied at the end: out[0..n) receives the
// last column of the sorted rotations with the terminator's own row left out, and the result is the
// primary index, the row (counting the terminator's row as row 0) whose rotation is the text itself, so
// 1..n for n >= 1 and 0 for n = 0. work[0..n) is scratch space. out may be text itself.
// Returns -1 for a null buffer or a negative length, -2 when working memory runs out.
[[nodiscard]] int32_t BurrowsWheelerBytes(const uint8_t *text, uint8_t *out, int32_t *work, int32_t n);

// As BurrowsWheelerBytes for a text of symbols in [0, k); -1 also for k < 1 or a symbol outside [0, k).
[[nodiscard]] int32_t BurrowsWheelerInts(const int32_t *text, int32_t *out, int32_t *work, int32_t n, int32_t k);

} // namespace corvapatch
