"""Runs the Python test suite once for each OpenBLAS core type (kernel set)
that this machine's CPU can execute, by OPENBLAS_CORETYPE: `make
test-coretypes`. A comparison that holds with the kernels OpenBLAS picks here
and fails with another CPU's shows up here, not on a user's machine.

The core types are those of OpenBLAS's DYNAMIC_ARCH build with the older
cores (driver/others/dynamic.c), each with the /proc/cpuinfo flags
of the instruction sets its kernels are built for (getarch.c's HAVE_* and the
-march options of kernel/Makefile). A kernel the CPU lacks would kill the
process with an illegal instruction, so such core types are skipped. The
names Katmai, Coppermine, Northwood, Banias and Athlon are 32-bit cores that
the 64-bit library maps to Prescott. Zen's kernels are Haswell's with other
block sizes (AVX2 and FMA3, no AMD-only instructions).

A library may lack a core type's kernels and run another's in their place
(scipy-openblas32 0.3.34 runs Katmai's, that is Prescott's, for Core2,
Penryn, Dunnington and Nano, and Nehalem's for Atom). Such a core type is
reported with the core that runs and not tested again: its kernels are that
core's, tested in its own turn. Only a core type for which the library
reports none is a failure.

    scripts/pytest_each_coretype.py PYTHON [PYTEST ARGUMENTS...]
"""

import os
import subprocess
import sys
from pathlib import Path

AVX512 = "avx2 fma avx512f avx512cd avx512bw avx512dq avx512vl"
AMD_FMA4 = "sse4_2 avx fma fma4 sse4a misalignsse"
CORE_TYPES = {
    "Prescott": "sse2 pni",
    "Core2": "pni ssse3",
    "Penryn": "ssse3 sse4_1",
    "Dunnington": "ssse3 sse4_1",
    "Nehalem": "ssse3 sse4_1 sse4_2",
    "Atom": "pni ssse3",
    "Nano": "pni ssse3",
    "Opteron": "sse2 3dnow 3dnowext",
    "Opteron_SSE3": "pni 3dnow 3dnowext",
    "Barcelona": "pni sse4a misalignsse",
    "Bobcat": "ssse3 sse4a misalignsse",
    "Sandybridge": "sse4_2 avx",
    "Bulldozer": "avx fma4 sse4a misalignsse",
    "Piledriver": AMD_FMA4,
    "Steamroller": AMD_FMA4,
    "Excavator": AMD_FMA4,
    "Haswell": "sse4_2 avx avx2 fma",
    "Zen": "sse4_2 avx avx2 fma",
    "SkylakeX": AVX512,
    "Cooperlake": AVX512 + " avx512_vnni avx512_bf16",
}

# The core type that the OpenBLAS under _quorvi really uses: one that the
# library does not know it replaces by its own choice, silently.
CORE_IN_USE = """
import ctypes, _quorvi
path = next(line.split()[-1] for line in open("/proc/self/maps") if "libscipy_openblas" in line)
library = ctypes.CDLL(path)
library.scipy_openblas_get_corename.restype = ctypes.c_char_p
print(library.scipy_openblas_get_corename().decode())
"""


def cpu_flags():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("flags"):
            return set(line.split(":", 1)[1].split())
    raise SystemExit("no flags line in /proc/cpuinfo")


def main():
    python, pytest_arguments = sys.argv[1], sys.argv[2:]
    flags = cpu_flags()
    outcomes = {}
    for core, needed in CORE_TYPES.items():
        missing = sorted(set(needed.split()) - flags)
        if missing:
            outcomes[core] = f"skipped: the CPU lacks {' '.join(missing)}"
            continue
        environment = dict(os.environ, OPENBLAS_CORETYPE=core)
        print(f"\n=== OPENBLAS_CORETYPE={core}", flush=True)
        in_use = subprocess.run(
            [python, "-c", CORE_IN_USE], env=environment, capture_output=True, text=True, check=False
        ).stdout.strip()
        if not in_use:
            outcomes[core] = "FAILED: OpenBLAS reports no core in use"
            continue
        if in_use.lower() != core.lower():
            outcomes[core] = f"not separate: the library runs {in_use}'s kernels for it"
            continue
        tests = subprocess.run(
            [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *pytest_arguments],
            env=environment,
            check=False,
        )
        outcomes[core] = (
            "passed" if tests.returncode == 0 else f"FAILED (pytest exit status {tests.returncode})"
        )
    print("\nThe Python suite per OpenBLAS core type:")
    for core, outcome in outcomes.items():
        print(f"  {core:<13} {outcome}")
    sys.exit(any(outcome.startswith("FAILED") for outcome in outcomes.values()))


if __name__ == "__main__":
    main()
