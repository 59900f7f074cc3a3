// Comparison of 32-pixel (128-byte) rows for the changed-region search: an SSE2
// version where the processor has it, a plain one otherwise; the choice is made
// once per process.
//
// Thread safety: reentrant; the choice is an atomic pointer.
#pragma once

#include <cstdint>

namespace capture {

// Whether any of the 128 bytes at `a` and `b` differ.
bool RowOf32Differs(const uint8_t* a, const uint8_t* b);
bool RowOf32DiffersPlain(const uint8_t* a, const uint8_t* b);
bool RowOf32DiffersSse2(const uint8_t* a, const uint8_t* b);
// Whether any of `rows` rows (rows `stride` bytes apart) of a 32-pixel block differ.
bool BlockDiffers(const uint8_t* a, const uint8_t* b, int stride, int rows);

enum class CpuFeature { kSse2 };
bool CpuHasFeature(CpuFeature feature);

}  // namespace capture
