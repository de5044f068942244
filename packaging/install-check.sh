#!/usr/bin/env bash
# Checks `make install` and `make uninstall` in scratch DESTDIRs: the layout,
# the unit's ExecStart under another PREFIX, an edited configuration surviving
# both, clean man pages, nothing left behind, and systemd-analyze verify on the
# installed unit when it is available. Usage: install-check.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi
}
mk() { make --no-print-directory "$@" OPS_BUILD="$build" >/dev/null; }

d=$work/usr
mk install-files DESTDIR="$d"
expected=(
  "755 usr/bin/tallywick" "755 usr/bin/tallywick-report"
  "644 usr/share/man/man8/tallywick.8" "644 usr/share/man/man1/tallywick-report.1"
  "644 lib/systemd/system/tallywick.service" "644 etc/logrotate.d/tallywick"
  "644 usr/lib/sysusers.d/tallywick.conf" "644 etc/norvex/tallywick/tallywick.xml"
  "644 usr/share/doc/tallywick/operations.md"
)
[ -f examples/tallywick.xml ] && expected+=("644 usr/share/doc/tallywick/examples/tallywick.xml")
for e in "${expected[@]}"; do
  check "installed $e" test "$(stat -c %a "$d/${e#* }" 2>/dev/null)" = "${e%% *}"
done
check "nothing else installed" test "$(find "$d" -type f | wc -l)" = "${#expected[@]}"
check "unit starts /usr/bin/tallywick" grep -qx 'ExecStart=/usr/bin/tallywick /etc/norvex/tallywick/tallywick.xml' \
  "$d/lib/systemd/system/tallywick.service"
for page in "$d/usr/share/man/man8/tallywick.8" "$d/usr/share/man/man1/tallywick-report.1"; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null || true)
  check "man page $(basename "$page") renders without warnings" test -z "$warnings"
  [ -z "$warnings" ] || echo "$warnings"
done

if command -v systemd-analyze >/dev/null 2>&1; then
  # Verified against this system's units, with ExecStart and the man pages
  # pointed into the scratch tree (the unit file keeps its name: verify
  # derives the unit name from it).
  mkdir -p "$work/verify"
  sed "s|^ExecStart=/usr/bin/|ExecStart=$d/usr/bin/|" "$d/lib/systemd/system/tallywick.service" \
    >"$work/verify/tallywick.service"
  out=$(MANPATH="$d/usr/share/man" systemd-analyze verify "$work/verify/tallywick.service" 2>&1) && rc=0 || rc=$?
  echo "systemd-analyze verify (exit $rc) printed: ${out:-(nothing)}"
  check "systemd-analyze verify passes" test "$rc" = 0 -a -z "$out"
else
  echo "skip: systemd-analyze is not installed"
fi

if command -v logrotate >/dev/null 2>&1; then
  # The installed rotation, pointed at a scratch log and owner root, forced once.
  lr=$work/logrotate
  mkdir -p "$lr"
  sed -e "s|/var/log/norvex/fenmark/Tallywick.log|$lr/Tallywick.log|" \
      -e "s/create 0640 tallywick tallywick/create 0640 root root/" \
      "$d/etc/logrotate.d/tallywick" >"$lr/conf"
  echo "a line" >"$lr/Tallywick.log"
  check "logrotate accepts the rotation and rotates" logrotate -f -s "$lr/state" "$lr/conf"
  check "the old log was renamed, a new empty one created" \
    test -s "$lr/Tallywick.log.1" -a -f "$lr/Tallywick.log" -a ! -s "$lr/Tallywick.log"
  check "the new log has the service's own mode, 0640" test "$(stat -c %a "$lr/Tallywick.log")" = 640
else
  echo "skip: logrotate is not installed"
fi

# An edited configuration survives a reinstall and an uninstall.
echo "<!-- edited -->" >>"$d/etc/norvex/tallywick/tallywick.xml"
mk install-files DESTDIR="$d"
check "edited configuration kept on reinstall" grep -q "edited" "$d/etc/norvex/tallywick/tallywick.xml"
check "shipped configuration put beside it" cmp -s packaging/tallywick.xml "$d/etc/norvex/tallywick/tallywick.xml.new"
mk uninstall DESTDIR="$d"
check "uninstall leaves only the edited configuration" \
  test "$(cd "$d" && find . -type f)" = "./etc/norvex/tallywick/tallywick.xml"

l=$work/local
mk install-files DESTDIR="$l" PREFIX=/usr/local
check "PREFIX=/usr/local puts the binaries there" test -x "$l/usr/local/bin/tallywick-report"
check "unit starts /usr/local/bin/tallywick" grep -qx \
  'ExecStart=/usr/local/bin/tallywick /etc/norvex/tallywick/tallywick.xml' "$l/lib/systemd/system/tallywick.service"
mk uninstall DESTDIR="$l" PREFIX=/usr/local
check "uninstall with PREFIX=/usr/local leaves no file" test -z "$(find "$l" -type f)"

[ "$fail" = 0 ] && echo "install-check: all passed" || echo "install-check: FAILED"
exit "$fail"
