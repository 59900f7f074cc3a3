#include "capture/modules/desktop_capture/row_compare.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <emmintrin.h>
#define CAPTURE_HAVE_SSE2_CODE 1
#endif

namespace capture {

bool RowOf32DiffersPlain(const uint8_t* a, const uint8_t* b) {
  for (int i = 0; i < 32; ++i) {
    uint32_t x, y;
    std::memcpy(&x, a + 4 * i, 4);
    std::memcpy(&y, b + 4 * i, 4);
    if (x != y) return true;
  }
  return false;
}

#if defined(CAPTURE_HAVE_SSE2_CODE)
__attribute__((target("sse2"))) bool RowOf32DiffersSse2(const uint8_t* a, const uint8_t* b) {
  __m128i sum = _mm_setzero_si128();
  for (int lane = 0; lane < 8; ++lane) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16 * lane));
    __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * lane));
    sum = _mm_adds_epu16(sum, _mm_sad_epu8(x, y));
  }
  // Two 64-bit halves of absolute-difference sums: both zero means equal.
  return _mm_movemask_epi8(_mm_cmpeq_epi32(sum, _mm_setzero_si128())) != 0xFFFF;
}
#else
bool RowOf32DiffersSse2(const uint8_t* a, const uint8_t* b) { return RowOf32DiffersPlain(a, b); }
#endif

bool CpuHasFeature(CpuFeature feature) {
#if defined(CAPTURE_HAVE_SSE2_CODE)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (feature == CpuFeature::kSse2 && __get_cpuid(1, &eax, &ebx, &ecx, &edx)) return (edx & (1u << 26)) != 0;
#else
  (void)feature;
#endif
  return false;
}

namespace {
using RowFn = bool (*)(const uint8_t*, const uint8_t*);
std::atomic<RowFn> chosen{nullptr};
}  // namespace

bool RowOf32Differs(const uint8_t* a, const uint8_t* b) {
  RowFn fn = chosen.load(std::memory_order_relaxed);
  if (fn == nullptr) {
    fn = CpuHasFeature(CpuFeature::kSse2) ? RowOf32DiffersSse2 : RowOf32DiffersPlain;
    chosen.store(fn, std::memory_order_relaxed);
  }
  return fn(a, b);
}

bool BlockDiffers(const uint8_t* a, const uint8_t* b, int stride, int rows) {
  for (int y = 0; y < rows; ++y) {
    if (RowOf32Differs(a, b)) return true;
    a += stride;
    b += stride;
  }
  return false;
}

}  // namespace capture
