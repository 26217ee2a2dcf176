#!/usr/bin/env bash
# Runs a command against the sanitized build: the AddressSanitizer runtime
# preloaded into the (uninstrumented) interpreter, the sanitized _quorvi
# first on the module path. Fails when the command fails or when its output
# holds a sanitizer report.
#
#   checks/sanitized.sh BUILD_FOLDER COMMAND [ARGUMENTS...]
set -uo pipefail
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)

# libasan must come first in the process; libstdc++ right after it, or the
# first C++ exception thrown in the module aborts the interpreter.
LD_PRELOAD="$(readlink -f "$(g++ -print-file-name=libasan.so)"):$(readlink -f "$(g++ -print-file-name=libstdc++.so)")"
export LD_PRELOAD
# detect_leaks=0: the interpreter leaves its objects to the OS at exit, and
# LeakSanitizer would report all of them (the leak check and valgrind judge
# leaks instead). allocator_may_return_null=1: an allocation too large to
# satisfy returns null as malloc does, so the module raises MemoryError, as
# it must, instead of ASan stopping the process.
#
# ASan's reports go to files of their own (log_path), one per process: on
# standard error, a test that captures file descriptor 2 (pytest's capfd)
# would take a report with it when the process halts. UBSan ignores
# log_path when loaded with the module, so its report inside such a test is
# lost; the run still fails on the exit status, and pytest -v names the test.
reports_folder=$(mktemp -d)
log=$(mktemp)
trap 'rm -rf "$log" "$reports_folder"' EXIT
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:log_path=$reports_folder/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$here/ubsan.supp"
# Python's own allocator hides its objects from ASan; malloc lets it see them.
export PYTHONMALLOC=malloc
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"

SECONDS=0
"$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
# Every report file, and any report that reached the output all the same.
reports=$(grep -cE ': runtime error: |ERROR: AddressSanitizer' "$log")
for report in "$reports_folder"/*; do
  [ -e "$report" ] || continue
  echo "---- sanitizer report $(basename "$report")"
  cat "$report"
  reports=$((reports + 1))
done
echo "sanitized run of $(basename "$1"): exit status $status, $reports sanitizer reports, ${SECONDS} s"
if [ "$reports" -ne 0 ] || [ "$status" -ne 0 ]; then
  exit 1
fi
