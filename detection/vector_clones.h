// VESK_VECTOR_CLONES marks a hot loop function that GCC compiles twice on x86-64, for the
// baseline instruction set and for x86-64-v3 (AVX2), picking one when the program loads by what
// the processor offers. Both run the same IEEE operations in the same order (and -ffp-contract=off
// keeps multiply-adds unfused), so they give bit-identical results; only the vector width differs.
#pragma once

// VESK_NO_VECTOR_CLONES leaves the baseline build only: ThreadSanitizer cannot run the code that
// picks a clone, which runs before it starts.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(VESK_NO_VECTOR_CLONES)
#define VESK_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define VESK_VECTOR_CLONES
#endif
