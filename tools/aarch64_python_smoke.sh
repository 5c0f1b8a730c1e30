#!/usr/bin/env bash
# Builds the module for Debian's arm64 Python and NumPy and runs
# tools/module_smoke.py with them under qemu-user: every function, bit for bit
# against the NumPy reference. Needs g++-aarch64-linux-gnu, qemu-user and a
# host Python with NumPy 2 (its headers; the module is built against NumPy 2's
# and runs on Debian's 1.24). Debian's arm64 packages are fetched with a
# private apt state under build/aarch64-python (the system's apt is not
# touched) and unpacked there.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$PWD/build/aarch64-python
root=$work/root
mkdir -p "$work/state/lists/partial" "$work/cache/archives/partial" "$root"
touch "$work/state/status"
cat > "$work/apt.conf" <<CONF
APT::Architecture "arm64";
APT::Architectures { "arm64"; };
Dir::State "$work/state";
Dir::State::status "$work/state/status";
Dir::Cache "$work/cache";
Dir::Etc::sourcelist "/etc/apt/sources.list.d/debian.sources";
Dir::Etc::sourceparts "-";
CONF
if [ ! -x "$root/usr/bin/python3" ]; then
  APT_CONFIG=$work/apt.conf apt-get update -qq
  APT_CONFIG=$work/apt.conf apt-get install -d -y -qq --no-install-recommends \
    python3 libpython3-dev python3-numpy libstdc++6 >/dev/null
  for deb in "$work"/cache/archives/*.deb; do dpkg-deb -x "$deb" "$root"; done
  # What update-alternatives would have linked.
  for lib in blas/libblas.so.3 lapack/liblapack.so.3; do
    [ -e "$root/usr/lib/aarch64-linux-gnu/$lib" ] && ln -sf "$lib" "$root/usr/lib/aarch64-linux-gnu/$(basename "$lib")"
  done
fi
python=$(basename "$(readlink -f "$root/usr/bin/python3")")
cat > "$work/python3" <<SH
#!/bin/sh
exec qemu-aarch64 -L "$root" "$root/usr/bin/$python" "\$@"
SH
chmod +x "$work/python3"
numpy_include=$(python3 -c "import numpy; assert int(numpy.__version__.split('.')[0]) >= 2; print(numpy.get_include())")
cmake -S . -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=tools/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$work/python3" \
  -DPython_INCLUDE_DIR="$root/usr/include/$python" -DCMAKE_CXX_FLAGS="-I$root/usr/include" \
  -DKELVANE_NUMPY_INCLUDE="$numpy_include" >/dev/null
cmake --build "$work/build" -j 2 --target kelvane >/dev/null
PYTHONPATH=$work/build "$work/python3" tools/module_smoke.py
