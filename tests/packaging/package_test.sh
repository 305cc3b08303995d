#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks what an operator's
# machine would get: fields, files, lintian, an install into a throw-away root
# with no udev, the launcher and the manual page.
#   tests/packaging/package_test.sh BUILD_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb="$(ls "$work"/out/tolvarine-redundancy-control_*_amd64.deb 2>/dev/null | head -n 1)"
[[ -f "$deb" ]] || fail "no package in $work/out"

info="$(dpkg-deb --info "$deb")"
for field in "Package: tolvarine-redundancy-control" "Version: 0.9.2" "Section: video" \
             "Maintainer: Brellin Labs" "Depends: .*libhidapi-hidraw0" "Description: redundancy control"; do
  grep -Eq "^ ?$field" <<<"$info" || fail "control field '$field' missing"
done
contents="$(dpkg-deb --contents "$deb" | awk '{print $6}')"
for path in ./usr/bin/tolvarine-redundancy-control \
            ./usr/lib/udev/rules.d/70-tolvarine-streamdeck.rules \
            ./usr/share/applications/com.brellinlabs.tolvarine-redundancy-control.desktop \
            ./usr/share/icons/hicolor/scalable/apps/tolvarine-redundancy-control.svg \
            ./usr/share/man/man1/tolvarine-redundancy-control.1.gz \
            ./usr/share/doc/tolvarine-redundancy-control/copyright; do
  grep -qx "$path" <<<"$contents" || fail "$path not in the package"
done
! grep -q '^./etc/\|^./home/\|^./root/' <<<"$contents" || fail "package writes outside /usr"

# No lintian errors (warnings are explained in packaging/lintian-notes.md).
lintian --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1 || true
cat "$work/lintian.txt"
! grep -q '^E: ' "$work/lintian.txt" || fail "lintian reports errors"

# Unpack into a throw-away root and run the maintainer scripts with no udev.
root="$work/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"
nobin="$work/nobin"; mkdir -p "$nobin"
env -i PATH="$nobin" /bin/sh "$work/control/postinst" configure || fail "postinst without udev"
env -i PATH="$nobin" /bin/sh "$work/control/postrm" remove || fail "postrm without udev"
"$root/usr/bin/tolvarine-redundancy-control" --version | grep -qx 'Tolvarine-Redundancy-Control 0.9.2' \
  || fail "installed program does not run"

desktop-file-validate "$root/usr/share/applications/com.brellinlabs.tolvarine-redundancy-control.desktop" \
  || fail "desktop entry invalid"
man -l "$root/usr/share/man/man1/tolvarine-redundancy-control.1.gz" 2>"$work/man.err" | grep -q -- '--background' \
  || { cat "$work/man.err"; fail "manual page does not render"; }
[[ ! -s "$work/man.err" ]] || { cat "$work/man.err"; fail "manual page warnings"; }
echo "package checks passed"
