// Regions of code compiled for one instruction set, whatever the rest of the file is built for:
// every function defined between DIRSIEVE_TARGET_BEGIN_... and DIRSIEVE_TARGET_END, templates
// included, carries the target. Callers must check the processor before calling into a region.
#pragma once

#if defined(__clang__)
#define DIRSIEVE_PRAGMA(x) _Pragma(#x)
#define DIRSIEVE_TARGET_BEGIN(isa) \
  DIRSIEVE_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define DIRSIEVE_TARGET_END _Pragma("clang attribute pop")
#elif defined(__GNUC__)
#define DIRSIEVE_PRAGMA(x) _Pragma(#x)
#define DIRSIEVE_TARGET_BEGIN(isa) _Pragma("GCC push_options") DIRSIEVE_PRAGMA(GCC target(isa))
#define DIRSIEVE_TARGET_END _Pragma("GCC pop_options")
#endif

#define DIRSIEVE_TARGET_BEGIN_AVX2 DIRSIEVE_TARGET_BEGIN("avx2")
#define DIRSIEVE_TARGET_BEGIN_AVX512 DIRSIEVE_TARGET_BEGIN("avx512f,avx512dq")
