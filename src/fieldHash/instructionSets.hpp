// SPDX-License-Identifier: MIT
#pragma once
// Which vector instruction sets this build's compiler can emit code for. The
// code for one of them runs only where the processor has it, chosen at run
// time; the build itself assumes none beyond the target's baseline.

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define INITHASHDATA_SSE2 1
#define INITHASHDATA_AVX2 1
#elif defined(__SSE2__)
#include <emmintrin.h>
#define INITHASHDATA_SSE2 1
#endif
