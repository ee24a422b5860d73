#!/usr/bin/env bash
# Antivirus and spam filter entries of the last three days, written the way
# the mail filters write them (avstat-log through the support library's log
# files), for the antivirus step to count.
set -euo pipefail
avlog="$DEMO_BIN/avstat-log"
[ -x "$avlog" ] || exit 0
# libfaketime preloaded directly: the faketime wrapper names a semaphore after
# its own process id and fails ("sem_open: File exists") where an earlier
# process of that id left one behind.
for days in 2 1 0; do
  run() { LD_PRELOAD='/usr/$LIB/faketime/libfaketime.so.1' FAKETIME="-${days}d" "$avlog" "$@"; }
  run avstat clean "from=news@list.example" "info@alpha.example"
  run avstat infected "from=x@bad.example" "\"Doe, John\" <SALES@ALPHA.EXAMPLE>, office@mail-only.example" "EICAR-Test-File"
  run avstat clean "from=a@b.example" "office@mail-only.example"
  run spamstat spam "score=9.1" "info@alpha.example"
  run spamstat clean "score=0.3" "sales@alpha.example, office@mail-only.example"
done
echo "antivirus demo: $(ls "$DEMO_PRODUCT/admin/logs" | grep -c -E 'halvexlog_(avstat|spamstat)') log files of the mail filters"
