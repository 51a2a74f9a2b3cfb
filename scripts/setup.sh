#!/usr/bin/env bash
# Set-up for a fresh Debian 12 machine.
#   scripts/setup.sh run [CATALOGUE_DIR]   install, build, start the program
#   scripts/setup.sh test                  install, build, run the whole suite
#                                          (a skipped test fails it)
set -euo pipefail

mode=${1:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TAVO_BUILD_DIR:-$here/build}

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev libsqlite3-dev
  clang libclang-rt-14-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev libxkbcommon-dev libqt6sql6-sqlite
  python3 python3-dbf xvfb xauth fonts-dejavu-core
  file desktop-file-utils appstream lintian
)

install_packages() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

build_all() {
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$build" -j "$(nproc)"
}

case "$mode" in
  run)
    install_packages
    build_all
    shift
    exec "$here/scripts/run.sh" "$build" "$@"
    ;;
  test)
    install_packages
    build_all
    exec "$here/scripts/test.sh" "$build" -j "$(nproc)"
    ;;
  *)
    echo "usage: $0 run [CATALOGUE_DIR] | test" >&2
    exit 2
    ;;
esac
