"""Runs checks/valgrind_workload.py under valgrind memcheck and judges its log.

Fails on any invalid read or write, invalid or mismatched free, or overlapping
copy, wherever it happens (after checks/valgrind.supp), and on any
uninitialised value or definite leak whose stack passes through the module.
The interpreter's own uninitialised-value reports and the leaks it leaves at
exit are counted and printed, not judged.

    python checks/valgrind_check.py
"""

import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
MODULE_FRAME = re.compile(r"_quorvi\.cpython|fit_irls|irls_entry|arma::")
ALWAYS_FATAL = (
    "Invalid read",
    "Invalid write",
    "Invalid free",
    "Mismatched free",
    "Source and destination overlap",
    "Syscall param",
    "Jump to the invalid address",
)
UNINITIALISED = ("Conditional jump or move depends on uninitialised", "Use of uninitialised value")


def records(log_text):
    """The log's error and leak records: blocks of lines between blank lines."""
    block = []
    for line in log_text.splitlines():
        text = re.sub(r"^==\d+== ?", "", line)
        if text.strip():
            block.append(text)
        elif block:
            yield block
            block = []
    if block:
        yield block


def main():
    environment = dict(os.environ, PYTHONMALLOC="malloc")
    with tempfile.TemporaryDirectory() as folder:
        log = Path(folder) / "memcheck.log"
        command = [
            "valgrind",
            "--tool=memcheck",
            "--leak-check=full",
            "--show-leak-kinds=definite",
            "--errors-for-leak-kinds=definite",
            "--error-limit=no",
            "--num-callers=40",
            f"--suppressions={HERE / 'valgrind.supp'}",
            f"--log-file={log}",
            sys.executable,
            str(HERE / "valgrind_workload.py"),
        ]
        started = time.monotonic()
        completed = subprocess.run(command, env=environment, capture_output=True, text=True, timeout=1200)
        elapsed = time.monotonic() - started
        log_text = log.read_text()

    fatal, ours, interpreter_uninitialised, interpreter_leaks = [], [], 0, 0
    for block in records(log_text):
        head = block[0]
        in_module = any(MODULE_FRAME.search(line) for line in block)
        if head.startswith(ALWAYS_FATAL):
            fatal.append(block)
        elif head.startswith(UNINITIALISED):
            if in_module:
                ours.append(block)
            else:
                interpreter_uninitialised += 1
        elif "definitely lost in loss record" in head:
            if in_module:
                ours.append(block)
            else:
                interpreter_leaks += 1

    summary = [
        line
        for line in log_text.splitlines()
        if re.search(r"ERROR SUMMARY|definitely lost:|indirectly lost:|possibly lost:", line)
    ]
    print(f"valgrind memcheck: workload ran in {elapsed:.0f} s, exit status {completed.returncode}")
    for line in summary:
        print("  " + re.sub(r"^==\d+== ?", "", line).strip())
    print(
        f"  invalid accesses or frees: {len(fatal)}; uninitialised values or definite leaks in the module: "
        f"{len(ours)}"
    )
    print(
        f"  not judged: {interpreter_uninitialised} uninitialised-value contexts and {interpreter_leaks} "
        f"definite-leak records of the interpreter and NumPy, none through the module"
    )
    for block in (fatal + ours)[:10]:
        print("\n".join("    | " + line for line in block[:25]))
    workload_done = "valgrind workload: done" in completed.stdout
    if not workload_done:
        print(completed.stdout[-2000:], completed.stderr[-2000:])
    failed = bool(fatal or ours) or completed.returncode != 0 or not workload_done
    print("valgrind check: FAILED" if failed else "valgrind check: passed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
