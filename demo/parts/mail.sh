#!/usr/bin/env bash
# Demo part: the Postfix/Dovecot mail provider with Maildir mailboxes and a
# mail log of yesterday (rotated, RFC 3339 stamps) and today (classic syslog
# stamps), so that the results show mailbox sizes, mail traffic and the
# mail messages sent.
set -euo pipefail

provider="$(cd "$DEMO_BIN/.." && pwd)/lib/libhalvex_mailprovider.so"
if [ ! -f "$provider" ]; then
  echo "mail demo: $provider is not built; skipping the mail part" >&2
  exit 0
fi

reg() { "$DEMO_BIN/halvex-reg" "$@" >/dev/null; }
key='HKLM\SOFTWARE\Halvex\QMX Config\Config'
vmail="$DEMO_RUN/vmail"
maillog="$DEMO_RUN/maillog"
reg add "$key" /v MAIL_PROVIDERW_DLL /d "$provider" /f
reg add "$key\\MailProvider" /v MailRoot /d "$vmail" /f
reg add "$key\\MailProvider" /v MailLog /d "$maillog/mail.log" /f

# Mailboxes: message files of known sizes in cur/ and new/, one in a folder.
message() { mkdir -p "$(dirname "$1")"; head -c "$2" /dev/zero | tr '\0' 'm' > "$1"; }
for box in alpha.example/info alpha.example/sales mail-only.example/office; do
  mkdir -p "$vmail/$box/Maildir/"{cur,new,tmp}
done
message "$vmail/alpha.example/info/Maildir/cur/1700000001.M1P1.mx:2,S" 4200
message "$vmail/alpha.example/info/Maildir/new/1700000002.M2P1.mx" 1800
message "$vmail/alpha.example/info/Maildir/.Sent/cur/1700000003.M3P1.mx:2,S" 2048
message "$vmail/alpha.example/sales/Maildir/cur/1700000004.M4P1.mx:2,S" 9000
message "$vmail/mail-only.example/office/Maildir/new/1700000005.M5P1.mx" 1500

# The mail log: lines a Debian host with Postfix and Dovecot writes.
mkdir -p "$maillog"
now=$(date +%s)
classic() { LC_ALL=C date -d "@$1" '+%b %e %H:%M:%S'; }
rfc3339() { date -d "@$1" '+%Y-%m-%dT%H:%M:%S.000000%:z'; }
yesterday=$(( $(date -d 'yesterday 12:00' +%s) ))

message_lines() {  # stamp-function time queue-id sender size "recipient relay"...
  local stamp=$1 t=$2 qid=$3 sender=$4 size=$5; shift 5
  local s; s=$($stamp "$t")
  if [ "${sender#*@}" = "remote.example" ]; then
    echo "$s mx postfix/smtpd[2101]: $qid: client=mail.remote.example[203.0.113.5]"
  else
    echo "$s mx postfix/submission/smtpd[2107]: $qid: client=client.example[198.51.100.7], sasl_method=PLAIN, sasl_username=$sender"
  fi
  echo "$s mx postfix/cleanup[2102]: $qid: message-id=<$qid@mx.example>"
  echo "$s mx postfix/qmgr[903]: $qid: from=<$sender>, size=$size, nrcpt=$# (queue active)"
  s=$($stamp $((t + 1)))
  local r
  for r in "$@"; do
    local to=${r% *} relay=${r#* }
    if [ "$relay" = "local" ]; then
      echo "$s mx postfix/virtual[2104]: $qid: to=<$to>, relay=virtual, delay=0.1, delays=0.05/0/0/0.05, dsn=2.0.0, status=sent (delivered to maildir)"
    else
      echo "$s mx postfix/smtp[2106]: $qid: to=<$to>, relay=$relay, delay=1.2, delays=0.1/0/0.6/0.5, dsn=2.0.0, status=sent (250 2.0.0 Ok)"
    fi
  done
  echo "$s mx postfix/qmgr[903]: $qid: removed"
}

{
  message_lines rfc3339 $((yesterday - 10000)) 4F00D1A001 bob@remote.example 4200 "info@alpha.example local"
  message_lines rfc3339 $((yesterday - 3000)) 4F00D1A002 sales@alpha.example 2048 "carol@remote.example mx.remote.example[198.51.100.1]:25"
  echo "$(rfc3339 $((yesterday + 20000))) mx dovecot: imap(info@alpha.example)<4321><AbCd>: Logged out in=310 out=48211 deleted=0 expunged=0 trashed=0 hdr_count=0 hdr_bytes=0 body_count=2 body_bytes=6000"
} > "$maillog/mail.log.1"
touch -d "@$((yesterday + 30000))" "$maillog/mail.log.1"

{
  message_lines classic $((now - 10800)) 4F00D1A003 bob@remote.example 9000 "office@mail-only.example local" "sales@alpha.example local"
  message_lines classic $((now - 7200)) 4F00D1A004 office@mail-only.example 1500 "dave@remote.example mx.remote.example[198.51.100.1]:25" "info@alpha.example local"
  echo "$(classic $((now - 3600))) mx dovecot: pop3(office@mail-only.example)<4322><XyZ9>: Disconnected: Logged out top=0/0, retr=3/15000, del=0/3, size=15000"
  echo "$(classic $((now - 3500))) mx postfix/anvil[2110]: statistics: max connection rate 1/60s for (smtp:203.0.113.5)"
} > "$maillog/mail.log"
