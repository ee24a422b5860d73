#!/usr/bin/env bash
# Demo part: log rotation. Older logs in the log directories of alpha.example
# (rotated with compression, two kept) and beta.example (renamed to
# ".rotated", one kept, dropped logs mailed to logs@beta.example), a link a
# tenant planted among them, and a local SMTP server (Debian's aiosmtpd on
# loopback, stopped by logrotate.after) that stores the mails in
# $DEMO_RUN/mail/Maildir. Dropped logs are saved in $DEMO_RUN/saved-http-logs.
set -euo pipefail

reg() { "$DEMO_BIN/halvex-reg" "$@" >/dev/null; }
key='HKLM\SOFTWARE\Halvex\QMX Config\Config'
log() { mkdir -p "$(dirname "$1")"; printf '%s\n' "$3" > "$1"; touch -d "$2" "$1"; }

alpha="$DEMO_VHOSTS/alpha.example/logs"
log "$alpha/access_log" "1 hour ago" "alpha: the current access log"
log "$alpha/access_log.1" "1 day ago" "alpha: yesterday"
log "$alpha/access_log.2" "2 days ago" "alpha: two days ago"
log "$alpha/access_log.3" "3 days ago" "alpha: three days ago"
# A tenant's link named like a log: never followed, renamed, compressed or mailed.
ln -sfn /etc/hostname "$alpha/stolen_log"

beta="$DEMO_VHOSTS/beta.example/logs"
log "$beta/access_log" "30 minutes ago" "beta: the current access log"
log "$beta/access_log.old" "2 days ago" "beta: two days ago"
log "$beta/access_log.older" "3 days ago" "beta: three days ago"
log "$beta/error_log.rotated" "5 days ago" "beta: rotated last week"

reg add "$key" /v SaveHTTPLogsDirectory /d "$DEMO_RUN/saved-http-logs" /f

if [ ! -x /usr/bin/python3 ] || ! /usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null; then
  echo "log rotation demo: python3-aiosmtpd is not installed; beta.example's mails will fail and its logs stay" >&2
  exit 0
fi
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$DEMO_RUN/mail"
# Ends by itself after 15 minutes should logrotate.after never run.
timeout 900 /usr/bin/python3 -m aiosmtpd -n -l "127.0.0.1:$port" -c aiosmtpd.handlers.Mailbox "$DEMO_RUN/mail/Maildir" \
  >"$DEMO_RUN/mail/server.log" 2>&1 &
echo $! > "$DEMO_RUN/mail/pid"
for _ in $(seq 1 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
reg add "$key" /v mailMessageSendHost /d 127.0.0.1 /f
reg add "$key" /v mailMessageSendPort /t REG_DWORD /d "$port" /f
echo "log rotation demo: SMTP server on 127.0.0.1:$port, mails in $DEMO_RUN/mail/Maildir"
