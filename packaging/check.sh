#!/usr/bin/env bash
# The package on this machine, as root (CI's fresh Debian 12; systemd need not
# be running): installed with apt over an existing registry store, the
# installed programs and plugins run over the demo installation, lintian,
# the units, the manual pages, the terminal, a missing product setting,
# removal during a run, and purge. Leaves the machine as it found it.
#   packaging/check.sh PACKAGE_BUILD_DIR BUILD_DIR
set -euo pipefail

top="$(cd "$(dirname "$0")/.." && pwd)"
pkgdir="$(cd "${1:-build-package}" && pwd)"
build="$(cd "${2:-build}" && pwd)"
name=halvex-statistics
deb="$(ls "$pkgdir"/${name}_*.deb | tail -1)"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
root="/usr/lib/$multiarch/halvex"  # the package's product root
state=/var/lib/halvex
key='HKLM\SOFTWARE\Halvex\QMX Config\Config'

[ "$(id -u)" -eq 0 ] || { echo "package check: must run as root" >&2; exit 1; }
failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
check() { local what="$1"; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }

if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'installed'; then
  echo "package check: $name is installed on this machine already; purge it first" >&2
  exit 1
fi
if [ -e "$state" ]; then
  echo "package check: $state exists; this check plays the operator there and needs it absent" >&2
  exit 1
fi

work="$(mktemp -d /tmp/package-check.XXXXXX)"
# The demo's FTP server serves a home under it as the user nobody.
chmod 755 "$work"
cleanup() {
  dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'installed' && apt-get purge -y -qq "$name" >/dev/null 2>&1
  rm -rf "$work" "$state"
}
trap cleanup EXIT
export DEBIAN_FRONTEND=noninteractive

echo "== the package: $deb"
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
# control names no library: every one below was found in the binaries.
for lib in libc6 libstdc++6 libsqlite3-0 libxml2 libmariadb3 libodbc2 libpocofoundation libicu libminizip1 libboost-regex; do
  check "dependency $lib computed from the binaries" grep -q "$lib" <<<"$depends"
done

echo "== lintian"
lintian --fail-on error --display-info "$deb" | tee "$work/lintian.txt" || fail "lintian reports errors"
check "lintian reports no error" bash -c "! grep -q '^E: ' '$work/lintian.txt'"

echo "== an operator's registry store before the package"
install -d -m 0700 "$state"
HALVEX_REGISTRY="$state/registry.db" "$build/bin/halvex-reg" add "$key\\Operator" /v Kept /d "made before install" /f >/dev/null
cp "$state/registry.db" "$work/store-before.db"

echo "== apt-get install ./$(basename "$deb")"
apt-get install -y -qq --no-install-recommends "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
check "installed" dpkg-query -W -f='${Status}\n' "$name"
check "the existing registry store is kept" bash -c \
  "/usr/sbin/halvex-reg query '$key\\Operator' /v Kept | grep -q 'made before install'"
check "state directory keeps its mode" test "$(stat -c %a "$state")" = 700
check "crash report directory 0700" test "$(stat -c %a "$state/crashdumps")" = 700
check "log directory 0750 root:adm" test "$(stat -c '%a %U:%G' /var/log/halvex)" = "750 root:adm"
check "lock directory 0700" test "$(stat -c %a /run/lock/halvex)" = 700
for f in /usr/sbin/statistics /usr/sbin/halvex-reg /usr/sbin/web-stat-executor "$root/admin/bin/webhostctl" \
  "$root/admin/bin/ftphostctl" "$root/admin/bin/libhalvex_mailprovider.so" "$root/admin/bin/qmxrepository.so" \
  "$root/admin/bin/tomcatprovider.so" "$root/check-settings" "/usr/share/doc/$name/examples/product-settings.sh"; do
  check "installed $f" test -f "$f"
done
check "admin/logs leads to /var/log/halvex" test "$(readlink "$root/admin/logs")" = /var/log/halvex
check "nothing started or enabled: no timer link" bash -c "! ls /etc/systemd/system/*.wants/ 2>/dev/null | grep -q halvex"
check "the cron line is off by default" grep -q '^CRON_ENABLED="no"' /etc/default/halvex-statistics

echo "== systemd-analyze verify"
check "systemd-analyze verify accepts the units" \
  systemd-analyze verify /lib/systemd/system/halvex-statistics.service /lib/systemd/system/halvex-statistics.timer

echo "== manual pages"
for page in statistics halvex-reg web-stat-executor webhostctl ftphostctl; do
  out="$(MANWIDTH=80 man --warnings 8 "$page" 2>"$work/man.err")" || true
  check "man 8 $page renders" bash -c "[ -n \"\$1\" ] && [ ! -s '$work/man.err' ] && grep -q 'EXIT STATUS' <<<\"\$1\"" _ "$out"
  [ -s "$work/man.err" ] && cat "$work/man.err"
done

echo "== the installed programs over the demo installation"
shim="$work/shim"
mkdir -p "$shim/bin" "$shim/lib" "$work/top/scripts"
for p in statistics halvex-reg web-stat-executor; do ln -s "/usr/sbin/$p" "$shim/bin/$p"; done
for p in webhostctl ftphostctl; do ln -s "$root/admin/bin/$p" "$shim/bin/$p"; done
for p in libhalvex_mailprovider qmxrepository tomcatprovider; do ln -s "$root/admin/bin/$p.so" "$shim/lib/$p.so"; done
# The demo's antivirus logs are written with the project's test tool.
ln -s "$build/bin/avstat-log" "$shim/bin/avstat-log"
cp "$top/scripts/demo.sh" "$work/top/scripts/"
(cd "$top" && tar --exclude=demo/run -cf - demo) | tar -C "$work/top" -xf -
demo_code=0
bash "$work/top/scripts/demo.sh" "$shim" >"$work/demo.log" 2>&1 || demo_code=$?
tail -n 25 "$work/demo.log"
demo="$work/top/demo/run"
check "the installed statistics completed its run over the demo (exit code $demo_code)" test "$demo_code" -eq 0
check "its results document is complete XML" /usr/bin/python3 -c "import sys, xml.etree.ElementTree as E; E.parse(sys.argv[1])" "$demo/results.xml"
# Figures only the installed plugins deliver: mail traffic (the mail
# provider), backup dumps (the dump repository), Tomcat applications.
plugin_figures() {
  /usr/bin/python3 - "$demo/results.xml" "$1" <<'PY'
import sys, xml.etree.ElementTree as E
root, what = E.parse(sys.argv[1]).getroot(), sys.argv[2]
if what == "mail":
    ok = any(e.get("type") == "smtpin" and int(e.get("in", "0")) > 0 for e in root.iter("traffic"))
else:
    ok = any(int(e.get(what, "0")) > 0 for e in root.iter("du"))
sys.exit(0 if ok else 1)
PY
}
check "the installed mail provider counted mail traffic" plugin_figures mail
check "the installed dump repository measured a backup" plugin_figures dumpSize
check "the installed Tomcat provider measured an application" plugin_figures webapps

echo "== a terminal that talks"
script -qec "/usr/sbin/statistics --all" /dev/null >"$work/tty.out" 2>&1 || true
check "on a terminal the error is shown in one line" grep -q 'statistics: Error: Required parameter --config is not specified' "$work/tty.out"
code=0
/usr/sbin/statistics --all 2>"$work/stderr.out" >/dev/null || code=$?
check "redirected: exit code 1 and nothing on standard error" bash -c "[ $code -eq 1 ] && [ ! -s '$work/stderr.out' ]"

echo "== a missing product setting stops the service's run, named"
pre="$(sed -n 's/^ExecStartPre=//p' /lib/systemd/system/halvex-statistics.service)"
code=0
HALVEX_REGISTRY="$state/registry.db" $pre 2>"$work/pre.err" || code=$?
cat "$work/pre.err"
check "the service's start check fails naming PRODUCT_ROOT_D" bash -c "[ $code -ne 0 ] && grep -q 'PRODUCT_ROOT_D is missing' '$work/pre.err'"
HALVEX_REGISTRY="$demo/registry.db" $pre 2>"$work/pre.err" && pass "the demo's settings pass the start check" || { cat "$work/pre.err"; fail "the demo's settings pass the start check"; }

echo "== removing the package while a run is in progress"
slow="$demo/product/admin/bin/webhostctl"
mv "$slow" "$slow.real"
printf '#!/bin/sh\ntouch %s/started\nsleep 3\nexec %s.real "$@"\n' "$work" "$slow" >"$slow"
chmod 755 "$slow"
export HALVEX_REGISTRY="$demo/registry.db" HALVEX_LOCK_DIR="$demo/locks" HALVEX_EVENT_LOG="$demo/events.log"
/usr/sbin/statistics --all "--config=$demo/config.xml" "--save-results-to=$work/during-removal.xml" >/dev/null 2>&1 &
run=$!
for _ in $(seq 100); do [ -e "$work/started" ] && break; sleep 0.1; done
apt-get remove -y -qq "$name" >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "removal during a run"; }
run_code=0
wait "$run" || run_code=$?
echo "the run that lost its package ended with code $run_code"
mv "$slow.real" "$slow"
for store in "$demo/registry.db" "$state/registry.db"; do
  check "store $store is intact after removal during a run" /usr/bin/python3 -c \
    "import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); sys.exit(c.execute('pragma integrity_check').fetchone()[0] != 'ok')" "$store"
done
apt-get install -y -qq --no-install-recommends "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
code=0
/usr/sbin/statistics --all "--config=$demo/config.xml" "--save-results-to=$work/after.xml" >/dev/null 2>&1 || code=$?
check "reinstalled, the next run over the same store completes (exit code $code)" test "$code" -eq 0
check "the operator's value survived removal and reinstall" bash -c \
  "HALVEX_REGISTRY='$state/registry.db' /usr/sbin/halvex-reg query '$key\\Operator' /v Kept | grep -q 'made before install'"
unset HALVEX_REGISTRY HALVEX_LOCK_DIR HALVEX_EVENT_LOG

echo "== purge"
# A run of the program in the package's places, so that purge has logs to remove.
printf 'x' >/var/log/halvex/halvexlog_debug20250101.log
apt-get purge -y -qq "$name" >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; exit 1; }
check "purged" bash -c "! dpkg-query -W -f='\${Status}' $name 2>/dev/null | grep -q installed"
left=()
while read -r path; do
  path="${path#.}"
  [ -z "$path" ] || [ -d "$path" ] && continue
  if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t)
check "no file of the package is left (${left[*]:-none})" test ${#left[@]} -eq 0
for gone in /var/log/halvex /run/lock/halvex "$state/crashdumps" "$root" /etc/default/halvex-statistics /etc/cron.d/halvex-statistics; do
  check "$gone removed" bash -c "[ ! -e '$gone' ] && [ ! -L '$gone' ]"
done
remaining="$(cd "$state" && ls -A | grep -v '^registry\.db' || true)"
check "only the operator's registry store is left in $state" test -z "$remaining"
check "the operator's store still holds the value" bash -c \
  "HALVEX_REGISTRY='$state/registry.db' '$build/bin/halvex-reg' query '$key\\Operator' /v Kept | grep -q 'made before install'"
check "systemd keeps no state of the units" bash -c "! grep -rqs halvex /var/lib/systemd/deb-systemd-helper-enabled /etc/systemd/system"

if [ "$failures" -ne 0 ]; then
  echo "package check: $failures check(s) failed" >&2
  exit 1
fi
echo "package check: all passed"
