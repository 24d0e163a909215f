// The carvers classify UTF-16LE code units 64 at a time: a window of 128 bytes gives one 64-bit mask, bit k for
// the unit at byte 2k of the window. SSE2 classifies a window in a few instructions where the target has it.
#pragma once

#include <cstddef>

#if defined(__SSE2__) && !defined(PAGEWRIGHT_PORTABLE_CARVE)
#include <emmintrin.h>
#define PW_CARVE_SSE2 1
#endif

namespace pw {

inline constexpr std::size_t kWindowUnits = 64;
inline constexpr std::size_t kWindowBytes = 2 * kWindowUnits;

}  // namespace pw
