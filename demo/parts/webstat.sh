#!/usr/bin/env bash
# Web statistics feeds: the sites of the two analysed domains (alpha.example
# with Webalizer, beta.example with AWStats) get web server logs of the last
# hour, and the FTP site on 192.0.2.10 a log with their FTP users' transfers,
# so that the run writes their feeds and web_stat_executor.conf files.
set -euo pipefail

ftp_logs="$DEMO_DATA/ftp/logs/192.0.2.10"
mkdir -p "$DEMO_VHOSTS/alpha.example/logs" "$DEMO_VHOSTS/beta.example/logs" "$ftp_logs"

# W3C timestamps (UTC) a given number of minutes ago.
stamp() { date -u -d "-$1 min" '+%Y-%m-%d %H:%M:%S'; }

web_log() {
  local domain="$1" file="$2"
  {
    echo '#Software: Microsoft Internet Information Services 10.0'
    echo '#Version: 1.0'
    echo '#Fields: date time s-sitename s-computername s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip cs-version cs(User-Agent) cs(Cookie) cs(Referer) cs-host sc-status sc-substatus sc-win32-status sc-bytes cs-bytes time-taken'
    local i
    for i in $(seq 1 24); do
      local page=$(( i % 4 )) status=200 bytes=$(( 1500 + i * 211 ))
      if [ $(( i % 5 )) -eq 0 ]; then status=304; bytes=0; fi
      echo "$(stamp $(( 60 - i * 2 ))) W3SVC1 WEB01 192.0.2.1 GET /page$page.html - 80 - 203.0.113.$(( i % 9 + 1 )) HTTP/1.1 Mozilla/5.0+(X11;+Linux+x86_64) - http://search.example/?q=$domain $domain $status 0 0 $bytes 410 $(( i * 3 ))"
    done
  } > "$file"
}

web_log alpha.example "$DEMO_VHOSTS/alpha.example/logs/u_ex_webstat_demo.log"
web_log beta.example "$DEMO_VHOSTS/beta.example/logs/u_ex_webstat_demo.log"

{
  echo '#Software: Microsoft Internet Information Services 10.0'
  echo '#Version: 1.0'
  echo '#Fields: date time c-ip cs-username s-ip s-port cs-method cs-uri-stem sc-status sc-win32-status sc-substatus sc-bytes cs-bytes time-taken cs-host'
  for user in alphaftp betaftp; do
    echo "$(stamp 40) 198.51.100.7 $user 192.0.2.10 21 [1]sent /pub/report.pdf 226 0 0 734003 0 2100 -"
    echo "$(stamp 30) 198.51.100.7 $user 192.0.2.10 21 [1]created /upload/created-list.txt 226 0 0 0 20480 400 -"
  done
} > "$ftp_logs/u_ex_webstat_demo.log"
