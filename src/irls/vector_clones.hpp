// Compiled for the widest vector unit the CPU has, chosen once when the
// library loads. Divisions and square roots are correctly rounded at every
// width, vector_exp is plain arithmetic, and nothing is contracted into
// fused multiply-adds, so every variant gives the same bits. With GCC,
// flatten inlines the link's dispatch, loop and record into each variant: it
// does not inline a function of the default target into a clone on its own,
// so the loops ran at the default width in every variant. Clang refuses
// flatten beside target_clones (whether its clones inline the loops is not
// measured here: the wheel's zig build is clang).
#pragma once

#ifdef __clang__
#define QUORVI_VECTOR_CLONES __attribute__((target_clones("default", "avx2", "avx512f")))
#else
#define QUORVI_VECTOR_CLONES __attribute__((flatten, target_clones("default", "avx2", "avx512f")))
#endif
