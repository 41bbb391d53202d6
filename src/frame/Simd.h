#pragma once

// Four float or two double lanes side by side where the target has them
// (every x86-64 processor has SSE2); a scalar loop elsewhere. Lane
// arithmetic is the same IEEE arithmetic as the scalar code, one lane per
// scalar, so results do not depend on which path was built.

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define KELVANE_HAVE_SSE2 1
#else
#define KELVANE_HAVE_SSE2 0
#endif
