#!/usr/bin/env bash
# Builds the native checks from the sources: build_native.sh OUTPUT [extra g++ flags...]
set -euo pipefail
out=$1; shift
src="$(cd "$(dirname "$0")/../../src" && pwd)"
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
flags=(-std=gnu++20 -O2 -ffp-contract=off -fno-math-errno -I"$src" "$@")
objs=()
compile() { local o="$tmp/$(basename "$1").o"; g++ "${flags[@]}" "${@:2}" -c "$1" -o "$o"; objs+=("$o"); }
for f in module/failure_core frame/shape_check frame/worker_pool frame/traversal indices/index_kernels \
         indices/index_kernels_sse2 expr/evaluator expr/evaluator_sse2; do compile "$src/$f.cpp"; done
compile "$src/indices/index_kernels_scalar.cpp" -fno-tree-vectorize
compile "$src/expr/evaluator_scalar.cpp" -fno-tree-vectorize
for f in indices/index_kernels_avx2 expr/evaluator_avx2; do compile "$src/$f.cpp" -mavx2 -mno-fma; done
for f in indices/index_kernels_avx512 expr/evaluator_avx512; do
  compile "$src/$f.cpp" -mavx512f -mavx512bw -mavx512vl -mavx2 -mno-fma -mprefer-vector-width=512; done
compile "${NATIVE_MAIN:-$(dirname "$0")/native_checks.cpp}"
g++ "${flags[@]}" "${objs[@]}" -o "$out" -lpthread -lm
