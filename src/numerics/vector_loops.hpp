// Vectorisation switches for the integrator's elementwise loops. GCC vectorises them only above
// -O2; elementwise arithmetic gives the same bits at any vector width (reductions are untouched).
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#define NVX_VECTORISE __attribute__((optimize("O3")))
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
// Also an AVX2 clone, chosen when the program loads on a processor that has it. Not under the
// sanitizers: the clone's resolver runs before their runtime is up (ThreadSanitizer crashes).
#define NVX_VECTORISE_AVX2 __attribute__((optimize("O3"), target_clones("avx2", "default")))
#else
#define NVX_VECTORISE_AVX2 NVX_VECTORISE
#endif
#else
#define NVX_VECTORISE
#define NVX_VECTORISE_AVX2
#endif
