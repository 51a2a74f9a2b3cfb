#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks the installed tree:
# exactly the files a desktop install needs, programs that run from where they
# were put, a menu entry and metainfo that validate and point at what was
# installed, icons of the sizes their folders claim, man pages, and the
# launcher's first and later starts.
#   install_test.sh BUILD_DIR APP_ID BINDIR PRIVATE_LIBDIR PROGRAM_DIR DATADIR MANDIR DOCDIR
#                   WITH_BOOKMARKS
set -euo pipefail
build=$1 id=$2 bindir=$3 libdir=$4 programdir=$5 datadir=$6 mandir=$7 docdir=$8 bookmarks=$9

. "$(dirname "$0")/common.sh"

prefix="$tmp/prefix"
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" ||
  { cat "$tmp/install.log" >&2; exit 1; }

# --- every file, and nothing else ------------------------------------------
expected=(
  "$bindir/tavo-url-manager"
  "$bindir/xcetool"
  "$programdir/tavo-url-manager"
  "$libdir/libxce.so"
  "$datadir/applications/$id.desktop"
  "$datadir/metainfo/$id.metainfo.xml"
  "$datadir/icons/hicolor/scalable/apps/$id.svg"
  "$mandir/man1/tavo-url-manager.1.gz"
  "$mandir/man1/xcetool.1.gz"
  "$docdir/copyright"
  "$docdir/changelog.gz"
)
for size in 16 24 32 48 64 128 256; do
  expected+=("$datadir/icons/hicolor/${size}x${size}/apps/$id.png")
done
[ "$bookmarks" = 0 ] || expected+=("$bindir/tavo-bookmarks")
printf '%s\n' "${expected[@]}" | sort >"$tmp/expected"
(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort) >"$tmp/installed"
if ! diff -u "$tmp/expected" "$tmp/installed" >"$tmp/diff"; then
  fail "installed files differ from the expected ones (- missing, + unexpected):"
  cat "$tmp/diff" >&2
fi

for f in "$bindir/tavo-url-manager" "$bindir/xcetool" "$programdir/tavo-url-manager"; do
  [ -x "$prefix/$f" ] || fail "$f is not executable"
done

# --- programs find the engine where it was installed -------------------------
binaries=("$prefix/$bindir/xcetool" "$prefix/$programdir/tavo-url-manager")
[ "$bookmarks" = 0 ] || binaries+=("$prefix/$bindir/tavo-bookmarks")
for b in "${binaries[@]}"; do
  if ! ldd "$b" >"$tmp/ldd" 2>&1; then
    fail "ldd $b failed"
  elif grep -q 'not found' "$tmp/ldd"; then
    fail "$b misses libraries:"; grep 'not found' "$tmp/ldd" >&2
  else
    engine=$(awk '$1 == "libxce.so" { print $3 }' "$tmp/ldd")
    if [ -n "$engine" ] && [ "$(readlink -f "$engine")" != "$(readlink -f "$prefix/$libdir/libxce.so")" ]; then
      fail "$b takes the engine from outside the installed tree: $engine"
    fi
  fi
done
env -u LD_LIBRARY_PATH "$prefix/$bindir/xcetool" --help >/dev/null || fail "installed xcetool does not run"

# --- menu entry and metainfo ------------------------------------------------
desktop="$prefix/$datadir/applications/$id.desktop"
metainfo="$prefix/$datadir/metainfo/$id.metainfo.xml"
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $id.desktop"
appstreamcli validate --no-net "$metainfo" >"$tmp/appstream" 2>&1 ||
  { fail "appstreamcli rejects $id.metainfo.xml:"; cat "$tmp/appstream" >&2; }
key() { sed -n "s/^$1=//p" "$desktop"; }
exec_name=$(key Exec)
[ -x "$prefix/$bindir/${exec_name%% *}" ] || fail "Exec=$exec_name is not an installed program"
[ "$(key TryExec)" = "${exec_name%% *}" ] || fail "TryExec does not name the Exec program"
[ "$(key Icon)" = "$id" ] || fail "Icon=$(key Icon) is not $id"
for lang in '' '\[ru\]'; do
  for k in Name GenericName Comment; do
    [ -n "$(key "$k$lang")" ] || fail "the menu entry has no $k$lang"
  done
done
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
  fail "the metainfo does not launch $id.desktop"
grep -q "<id>$id</id>" "$metainfo" || fail "the metainfo's id is not $id"

# --- icons: each PNG is as large as its folder says ---------------------------
for png in "$prefix/$datadir"/icons/hicolor/*x*/apps/*.png; do
  folder=$(basename "$(dirname "$(dirname "$png")")")
  # Width and height are the big-endian words at bytes 16 and 20.
  read -r w h < <(od -An -tu1 -j16 -N8 "$png" |
    awk '{ print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }')
  [ "${w}x${h}" = "$folder" ] || fail "$png is ${w}x${h}, in folder $folder"
done

# --- man pages ----------------------------------------------------------------
for page in tavo-url-manager xcetool; do
  gz="$prefix/$mandir/man1/$page.1.gz"
  gzip -t "$gz" || fail "$page.1.gz is not a gzip file"
  if command -v man >/dev/null; then
    warnings=$(MANWIDTH=80 man --warnings -l "$gz" 2>&1 >/dev/null) || fail "man cannot show $page.1"
    [ -z "$warnings" ] || fail "man warns about $page.1: $warnings"
  fi
done
# Every command xcetool offers is described on its page.
for command in $("$prefix/$bindir/xcetool" --help | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p'); do
  gzip -dc "$prefix/$mandir/man1/xcetool.1.gz" | grep -q "^\.BI ${command//-/\\\\-} " ||
    fail "the xcetool page does not describe $command"
done

# --- the launcher -------------------------------------------------------------
launcher="$prefix/$bindir/tavo-url-manager"
tool="$prefix/$bindir/xcetool"
program="$prefix/$programdir/tavo-url-manager"
# The program proper is replaced by a stand-in that notes where and how it
# was started.
record="$tmp/started"
cat >"$program" <<EOF
#!/bin/sh
{ pwd; echo "\$#"; } >"$record"
EOF
chmod +x "$program"

# launch ENV... : runs the launcher with HOME in the temporary folder.
launch() {
  rm -f "$record"
  env -u XDG_DATA_HOME HOME="$tmp/home" "$@" >"$tmp/launch.out" 2>&1
}
started_in() {
  [ -e "$record" ] && [ "$(sed -n 1p "$record")" = "$1" ] && [ "$(sed -n 2p "$record")" = 0 ]
}
tables=(TEM.dbf TYPE.DBF URLIN.DBF urls.DBF)
fingerprint() { (cd "$1" && find . -type f -printf '%p %s %T@ %m\n' | sort && cat -- * 2>/dev/null | md5sum); }

# First start: the default folder under XDG_DATA_HOME, made with a catalogue.
data="$tmp/data"
launch XDG_DATA_HOME="$data" "$launcher" || fail "first start failed: $(cat "$tmp/launch.out")"
dir="$data/tavo-url-manager"
started_in "$dir" || fail "the program did not start in $dir with no arguments"
for t in "${tables[@]}"; do
  [ -f "$dir/$t" ] && "$tool" check "$dir/$t" >/dev/null ||
    fail "the first start left no sound $t"
done

# Later starts leave the catalogue exactly as it is.
before=$(fingerprint "$dir")
launch XDG_DATA_HOME="$data" "$launcher" || fail "second start failed: $(cat "$tmp/launch.out")"
started_in "$dir" || fail "the second start did not start the program in $dir"
[ "$(fingerprint "$dir")" = "$before" ] || fail "the second start changed the catalogue"

# A folder holding only part of a catalogue (here an unreadable one) is not
# completed, repaired or replaced.
part="$tmp/part"
mkdir -p "$part" && echo 'not a table' >"$part/URLS.DBF"
before=$(fingerprint "$part")
launch "$launcher" "$part" || fail "start on a partial catalogue failed"
started_in "$part" || fail "the program did not start in $part"
[ "$(fingerprint "$part")" = "$before" ] || fail "the launcher touched a partial catalogue"

# Without XDG_DATA_HOME, or with a relative one, the default is under HOME.
for xdg in '' 'relative/data'; do
  rm -rf "$tmp/home"
  launch XDG_DATA_HOME="$xdg" "$launcher" || fail "start with XDG_DATA_HOME='$xdg' failed"
  started_in "$tmp/home/.local/share/tavo-url-manager" ||
    fail "with XDG_DATA_HOME='$xdg' the program did not start under HOME"
done

# A folder named on the command line, with characters a shell would expand.
odd="$tmp/my catalogue \$HOME \"'*"
launch "$launcher" "$odd" || fail "start on '$odd' failed"
started_in "$odd" && [ -f "$odd/urls.DBF" ] || fail "no catalogue in '$odd'"

# Usage: help starts nothing; extra arguments are refused.
launch "$launcher" --help && [ ! -e "$record" ] || fail "--help did not just print usage"
status=0
launch "$launcher" a b || status=$?
[ "$status" -eq 2 ] && [ ! -e "$record" ] || fail "two arguments were not refused"

# A creation that fails is reported, and the program still starts (it
# reports the missing tables itself).
printf '#!/bin/sh\nexit 1\n' >"$tool"
failed="$tmp/failed"
launch "$launcher" "$failed" || fail "start after a failed creation failed"
started_in "$failed" || fail "the program did not start after a failed creation"
grep -q 'could not create a catalogue' "$tmp/launch.out" || fail "a failed creation was not reported"

finish "installed tree: ${#expected[@]} files checked"
