#!/usr/bin/env bash
# Builds kelvane with a sanitizer into its own virtual environment and runs the
# test suite under it: `bash tools/sanitize.sh address` (ASan + UBSan) or
# `bash tools/sanitize.sh thread` (TSan). Extra arguments go to pytest.
set -euo pipefail
kind=${1:?usage: tools/sanitize.sh address|thread [pytest args]}
shift
cd "$(dirname "$0")/.."
venv=.venv-$kind
[ -d "$venv" ] || python3 -m venv "$venv"
"$venv/bin/pip" install -q "scikit-build-core>=0.8" "numpy>=2.0" pytest hypothesis
"$venv/bin/pip" install -q --no-build-isolation \
  -Ccmake.define.KELVANE_SANITIZER="$kind" -Cbuild-dir="build/sanitize-$kind" .
case "$kind" in
  address)
    runtime=$(g++ -print-file-name=libasan.so)
    # Python itself keeps memory until exit: leaks are not what this run looks for.
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ;;
  thread)
    runtime=$(g++ -print-file-name=libtsan.so)
    # die_after_fork=0: the fork tests start the pool again in the child, which TSan
    # refuses by default after a multi-threaded fork.
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$PWD/tools/tsan.supp" ;;
  *) echo "unknown sanitizer: $kind" >&2; exit 2 ;;
esac
export KELVANE_UNDER_SANITIZER=$kind   # read by the tests only, to skip what a sanitizer cannot run
# libstdc++ preloaded too, so that the sanitizer finds the C++ runtime it intercepts.
LD_PRELOAD="$runtime $(g++ -print-file-name=libstdc++.so)" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
