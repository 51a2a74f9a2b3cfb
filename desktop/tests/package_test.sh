#!/usr/bin/env bash
# Builds the Debian package and checks it: its control fields and runtime
# dependencies, its contents, an install into and a purge from a throw-away
# dpkg root, and lintian's verdict when lintian is there.
#   package_test.sh BUILD_DIR APP_ID
set -euo pipefail
build=$1 id=$2

. "$(dirname "$0")/common.sh"

(cd "$build" && cpack -G DEB -B "$tmp/out") >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log" >&2; exit 1; }
debs=("$tmp"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: cpack made ${#debs[@]} packages" >&2; exit 1; }
deb=${debs[0]}

# --- control fields -------------------------------------------------------------
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = tavo-url-manager ] || fail "Package is $(field Package)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is $(field Architecture)"
dpkg --validate-version "$(field Version)" || fail "Version $(field Version) is not a Debian version"
depends=$(field Depends)
names=" $(sed 's/([^)]*)//g; s/|/,/g; s/,/ /g' <<<"$depends" | tr -s ' ') "
for needed in libc6 libstdc++6 libqt6widgets6 libqt6gui6 libqt6core6; do
  [[ "$names" == *" $needed "* ]] || fail "Depends lacks $needed: $depends"
done
# Every dependency names a real package: this machine built against them all.
for dep in $names; do
  dpkg-query -W "$dep" >/dev/null 2>&1 || fail "Depends names $dep, which is not a known package"
done
grep -q xce <<<"$depends" && fail "Depends names the private engine library: $depends"

# The release named by the package, its history and its metainfo is one.
dpkg-deb --extract "$deb" "$tmp/x"
version=$(field Version)
history=$(gzip -dc "$tmp/x/usr/share/doc/tavo-url-manager/changelog.gz")
[[ "$(head -n 1 <<<"$history")" == "tavo-url-manager ($version) "* ]] ||
  fail "the changelog's latest entry is not version $version"
released=$(date -u -d "$(sed -n 's/^ -- .*>  //p' <<<"$history" | head -n 1)" +%Y-%m-%d)
grep -q "<release version=\"$version\" date=\"$released\"" \
  "$tmp/x/usr/share/metainfo/$id.metainfo.xml" ||
  fail "the metainfo has no release $version of $released, as the changelog has"

# --- contents ---------------------------------------------------------------------
dpkg-deb --contents "$deb" | awk '{ print $NF }' | sed 's|^\./||; /\/$/d' | sort >"$tmp/contents"
for f in usr/bin/tavo-url-manager usr/bin/xcetool usr/libexec/tavo-url-manager/tavo-url-manager \
  usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml \
  usr/share/icons/hicolor/scalable/apps/$id.svg usr/share/icons/hicolor/48x48/apps/$id.png \
  usr/share/man/man1/tavo-url-manager.1.gz usr/share/man/man1/xcetool.1.gz \
  usr/share/doc/tavo-url-manager/copyright usr/share/doc/tavo-url-manager/changelog.gz; do
  grep -qx "$f" "$tmp/contents" || fail "the package lacks /$f"
done
grep -q '/libxce\.so$' "$tmp/contents" || fail "the package lacks the engine library"
strays=$(grep -v '^usr/' "$tmp/contents" || true)
[ -z "$strays" ] || fail "files outside /usr: $strays"
grep -q '^usr/local/' "$tmp/contents" && fail "files under /usr/local"

for b in "$tmp/x/usr/bin/xcetool" "$tmp/x/usr/libexec/tavo-url-manager/tavo-url-manager" \
  "$tmp"/x/usr/lib/*/tavo-url-manager/libxce.so; do
  if readelf -S "$b" | grep -q '\.debug_info'; then fail "$b is not stripped"; fi
done

# --- install into and purge from a throw-away root ------------------------------
root="$tmp/root"
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
: >"$root/var/lib/dpkg/status"
dpkg_root() {
  dpkg --root="$root" --log=/dev/null --force-depends --force-not-root "$@" >>"$tmp/dpkg.log" 2>&1
}
if ! dpkg_root --install "$deb"; then
  fail "dpkg cannot install the package:"; cat "$tmp/dpkg.log" >&2
else
  env -u LD_LIBRARY_PATH "$root/usr/bin/xcetool" --help >/dev/null ||
    fail "xcetool installed by the package does not run"
  dpkg_root --purge tavo-url-manager || { fail "dpkg cannot purge the package:"; cat "$tmp/dpkg.log" >&2; }
  left=$(cd "$root" && find . -path ./var -prune -o ! -type d -print)
  [ -z "$left" ] || fail "purging left files behind: $left"
fi

# --- lintian, when it is there --------------------------------------------------
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb" >"$tmp/lintian" 2>&1 || true
  cat "$tmp/lintian"
  if grep -q '^E: ' "$tmp/lintian"; then fail "lintian reports errors"; fi
else
  echo "lintian is not installed: the package was not linted"
fi

finish "package $(basename "$deb") checked"
