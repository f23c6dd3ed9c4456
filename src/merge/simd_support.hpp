// Whether the engine uses its x86-64 vector paths: SSE2 in the point test,
// and AVX/AVX2 variants chosen at run time where the processor has them.
// Every such path is behind `#if ROWMERGE_X86_SIMD`, so one switch decides
// them all. A build with ROWMERGE_PORTABLE defined (CMake option
// ROWMERGE_PORTABLE=ON) takes the plain C++ code everywhere, as on a
// processor that is not x86: that code is then built and tested on x86 too.
#pragma once

#if defined(__x86_64__) && defined(__SSE2__) && !defined(ROWMERGE_PORTABLE)
#define ROWMERGE_X86_SIMD 1
#else
#define ROWMERGE_X86_SIMD 0
#endif
