# Shared by the scripts: package installation and build directories.
set -euo pipefail

TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${JOBS:-2}
# Most tests wait on the daemon rather than compute: twice as many at once.
TEST_JOBS=${TEST_JOBS:-$((JOBS * 2))}

# Debian packages the daemon and its tools need to build (enough for the
# demo), and those only the tests, benchmarks, fuzzing and packaging need
# (ccache makes rebuilds of the three test trees cheap).
BUILD_PACKAGES=(cmake ninja-build make g++ pkg-config libsqlite3-dev nlohmann-json3-dev
                libboost-system-dev libmicrohttpd-dev libyaml-cpp-dev libmnl-dev iproute2)
TEST_PACKAGES=(clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev faketime
               groff-base prometheus rsyslog curl ccache)
PACKAGE_PACKAGES=(dpkg-dev debhelper lintian)

# ensure_packages [PACKAGE...]  (default: everything the full build and tests need)
ensure_packages() {
  local wanted=("$@") missing=()
  [ ${#wanted[@]} -gt 0 ] || wanted=("${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}")
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# build_tree DIR [cmake options...] [-- targets...]
# WISPD_NICE: build at that niceness (beside running tests).
build_tree() {
  local dir=$1 opts=() targets=()
  shift
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do opts+=("$1"); shift; done
  [ $# -gt 0 ] && shift && targets=("$@")
  # The sanitizer trees are clang's: without optimisation it compiles the
  # ASan+UBSan tree in about 60% of GCC's time, and its warnings are a
  # second compiler's. The plain tree stays with the system's compiler, as
  # users and Debian build.
  local cxx=""
  if [[ " ${opts[*]}" == *" -DWISPD_SANITIZE="* ]]; then
    cxx=$(command -v clang++) || { echo "build_tree: clang++ is needed for $dir" >&2; return 1; }
    opts+=(-DCMAKE_C_COMPILER="$(command -v clang)" -DCMAKE_CXX_COMPILER="$cxx")
  fi
  # A tree made by another generator (make, before) or compiler cannot be
  # reconfigured.
  local cache=$TOP/$dir/CMakeCache.txt
  if [ -e "$cache" ] && { [ ! -e "$TOP/$dir/build.ninja" ] ||
    { [ -n "$cxx" ] && ! grep -qx "CMAKE_CXX_COMPILER:[A-Z]*=$cxx" "$cache"; }; }; then
    rm -rf "${TOP:?}/$dir"
  fi
  # Rebuilds in several trees and clones share objects where ccache is at hand.
  if command -v ccache >/dev/null; then
    opts+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR=$TOP CCACHE_NOHASHDIR=true
    # The test binaries use a precompiled header.
    export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
  fi
  # Warnings are errors here (and so in CI), not in users' own builds. Three
  # trees are built cold on a 2-core machine: sources in batches and line
  # tables only (enough for every stack a sanitizer or a debugger prints)
  # keep that to a few minutes. The plain tree, which the packages are made
  # from, compiles the daemon and tools each source alone, as users and
  # Debian build them, so that no other tree has to.
  local unity=ON
  [ "$dir" != build ] || unity=TESTS
  cmake -G Ninja -S "$TOP" -B "$TOP/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DWISPD_UNITY=$unity \
    -DCMAKE_INSTALL_PREFIX=/usr -DWISPD_WERROR=ON "${opts[@]}" >/dev/null
  local build=(cmake --build "$TOP/$dir" -j "$JOBS")
  [ ${#targets[@]} -eq 0 ] || build+=(--target "${targets[@]}")
  ${WISPD_NICE:+nice -n "$WISPD_NICE"} "${build[@]}"
}

# The alert forwarder posts with libcurl and serves its counters with
# libmicrohttpd; its tests and the fleet run Debian's Alertmanager.
BUILD_PACKAGES+=(libcurl4-openssl-dev libmicrohttpd-dev)
TEST_PACKAGES+=(prometheus-alertmanager)
