#!/usr/bin/env bash
# Builds the native checks from the sources: build_native.sh OUTPUT [extra g++ flags...]
set -euo pipefail
out=$1; shift
src="$(cd "$(dirname "$0")/../../src" && pwd)"
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
flags=(-std=gnu++20 -O2 -ffp-contract=off -fno-math-errno -I"$src" "$@")
objs=()
compile() { local o="$tmp/$(basename "$(dirname "$1")")_$(basename "$1").o"; g++ "${flags[@]}" "${@:2}" -c "$1" -o "$o"; objs+=("$o"); }
for f in "$src"/base/*.cpp "$src"/frame/*.cpp "$src"/indices/*.cpp "$src"/expr/*.cpp; do
  case "$f" in
    *_scalar.cpp) compile "$f" -fno-tree-vectorize ;;
    *_avx2.cpp) compile "$f" -mavx2 -mno-fma ;;
    *_avx512.cpp) compile "$f" -mavx512f -mavx512bw -mavx512vl -mavx2 -mno-fma -mprefer-vector-width=512 ;;
    *) compile "$f" ;;
  esac
done
compile "${NATIVE_MAIN:-$(dirname "$0")/native_checks.cpp}"
g++ "${flags[@]}" "${objs[@]}" -o "$out" -lpthread -lm
