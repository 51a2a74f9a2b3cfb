#!/usr/bin/env bash
# Takes the README's pictures of the program's windows under Xvfb, the main
# window over a demo catalogue when the table tool can make one.
#   scripts/screenshots.sh BUILD_DIR [OUTPUT_DIR]
# OUTPUT_DIR defaults to docs/. Needs xvfb-run (Debian package xvfb).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd)
out=${2:-$here/docs}
cmake --build "$build" --target tavo-screenshots xcetool

demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
catalogue=()
if "$build/tools/xcetool" demo-catalogue --help >/dev/null 2>&1; then
  "$build/tools/xcetool" demo-catalogue "$demo" --urls 60
  catalogue=("$demo")
else
  echo "screenshots.sh: xcetool has no demo-catalogue; the main window shows an empty catalogue" >&2
fi
xvfb-run -a -s "-screen 0 960x600x24" "$build/app/tavo-screenshots" "$out" "${catalogue[@]}"
echo "screenshots written to $out; look at each before committing it"
