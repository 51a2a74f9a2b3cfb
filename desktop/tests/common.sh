# Shared by the installation tests: failure counting and a temporary folder,
# with the build folder's install manifest kept as it was (a user's own
# install needs it to uninstall). Source it with build set to the build folder.
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "$*"
}

tmp=$(mktemp -d)
manifest="$build/install_manifest.txt"
[ ! -e "$manifest" ] || cp -p "$manifest" "$tmp/manifest.saved"
cleanup() {
  if [ -e "$tmp/manifest.saved" ]; then cp -p "$tmp/manifest.saved" "$manifest"; else rm -f "$manifest"; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
