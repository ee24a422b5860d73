#!/usr/bin/env bash
# Lays out a demo installation under demo/run (registry store, product root,
# domains' directories, logs) and runs the statistics utility on it, then
# shows the results document.
set -euo pipefail

top="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-build}"
case "$build" in /*) ;; *) build="$top/$build" ;; esac
bin="$build/bin"
run="$top/demo/run"

rm -rf "$run"
mkdir -p "$run"
export HALVEX_REGISTRY="$run/registry.db"
export HALVEX_LOCK_DIR="$run/locks"
export HALVEX_EVENT_LOG="$run/events.log"

product="$run/product"
data="$run/data"
vhosts="$run/vhosts"
mkdir -p "$product/admin/bin" "$product/admin/logs" "$product/PrivateTemp" "$data" "$vhosts"

reg() { "$bin/halvex-reg" "$@" >/dev/null; }
key='HKLM\SOFTWARE\Halvex\QMX Config\Config'
reg add "$key" /v PRODUCT_ROOT_D /d "$product" /f
reg add "$key" /v PRODUCT_DATA_D /d "$data" /f
reg add "$key" /v HTTPD_VHOSTS_D /d "$vhosts" /f
reg add "$key" /v HalvexService /d halvex-service /f
reg add "$key" /v Debug /t REG_DWORD /d 1 /f
reg add "$key\\Packages\\ftpserver" /ve /d ftpserver /f

# The panel utilities this project ships for Linux hosts.
for tool in webhostctl ftphostctl; do
  if [ -x "$bin/$tool" ]; then cp "$bin/$tool" "$product/admin/bin/$tool"; fi
done

sed "s|@VHOSTS@|$vhosts|g" "$top/demo/config.xml.in" > "$run/config.xml"

# Data of the later capabilities: each script adds its part when present.
for part in "$top"/demo/parts/*.sh; do
  [ -e "$part" ] || continue
  DEMO_RUN="$run" DEMO_BIN="$bin" DEMO_PRODUCT="$product" DEMO_DATA="$data" DEMO_VHOSTS="$vhosts" bash "$part"
done

echo "== statistics --all --config=$run/config.xml --save-results-to=$run/results.xml"
set +e
"$bin/statistics" --all "--config=$run/config.xml" "--save-results-to=$run/results.xml"
code=$?
set -e
echo "== exit code: $code"
echo "== results document ($run/results.xml):"
if [ -f "$run/results.xml" ]; then sed 's/></>\n</g' "$run/results.xml"; echo; fi
echo "== errors and warnings of the run (debug log):"
for f in "$product"/admin/logs/halvexlog_debug*.log; do
  [ -e "$f" ] || continue
  iconv -f UTF-16LE -t UTF-8 "$f" | grep -E ' (Error|Warning): ' | head -20 || true
done
for post in "$top"/demo/parts/*.after; do
  [ -e "$post" ] || continue
  DEMO_RUN="$run" DEMO_BIN="$bin" DEMO_PRODUCT="$product" DEMO_DATA="$data" DEMO_VHOSTS="$vhosts" bash "$post"
done
exit $code
