#!/usr/bin/env bash
# Demo part: a Linux host. Real Apache (with mod_logio), nginx and ProFTPD
# are started on loopback, answer a few requests and transfers and are
# stopped again, so that their own logs lie beside the W3C ones:
# - alpha.example: Apache's access_apache.log in the site's logs/;
# - beta.example: nginx's access_nginx.log in the site's logs/;
# - gamma.example: nginx's access.log in nginx's directory per domain
#   ($DEMO_RUN/var/log/nginx/gamma.example), chosen by the domain's
#   WebLogsDirectories setting;
# - the FTP site on 192.0.2.10: ProFTPD's xferlog of alphaftp's transfers.
# A server that is not installed is left out with a note.
set -euo pipefail

reg() { "$DEMO_BIN/halvex-reg" "$@" >/dev/null; }
key='HKLM\SOFTWARE\Halvex\QMX Config\Config'
srv="$DEMO_RUN/linuxhost"
mkdir -p "$srv/ngx"
# The servers' workers run as nobody and must reach the document roots.
chmod 755 "$DEMO_RUN" "$DEMO_VHOSTS"

port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
site() {
  local root="$DEMO_VHOSTS/$1/httpdocs"
  mkdir -p "$root" "$DEMO_VHOSTS/$1/logs"
  chmod 755 "$DEMO_VHOSTS/$1" "$root"
  echo "<html><body>$1</body></html>" > "$root/index.html"
  head -c 20000 /dev/zero > "$root/brochure.pdf"
}
agent='Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0'
visit() {  # host port: pages, a 404, a 304, a range, a POST
  local c=(curl -s -o /dev/null -A "$agent" --resolve "$1:$2:127.0.0.1")
  local url="http://$1:$2" i
  for i in 1 2 3; do "${c[@]}" "$url/index.html"; done
  "${c[@]}" -e "http://search.example/?q=$1" "$url/brochure.pdf"
  "${c[@]}" "$url/missing.html"
  "${c[@]}" -z "$DEMO_VHOSTS/$1/httpdocs/index.html" "$url/index.html"
  "${c[@]}" -r 0-9 "$url/index.html"
  "${c[@]}" --data-binary 'name=demo&message=hello' "$url/index.html"
}
# Stops a server by its pid file: waits (boundedly) for the file, then for
# the process to end, so that nothing of the demo is left running.
stop() {
  local i pid
  for i in $(seq 50); do [ -s "$1" ] && break; sleep 0.1; done
  [ -s "$1" ] || return 0
  pid=$(cat "$1")
  kill "$pid" 2>/dev/null || return 0
  for i in $(seq 100); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
}

for d in alpha.example beta.example gamma.example; do site "$d"; done
gamma_logs="$DEMO_RUN/var/log/nginx/gamma.example"
mkdir -p "$gamma_logs"
reg add "$key\\WebLogsDirectories" /v gamma.example /d "$DEMO_RUN/var/log/nginx/<domain>" /f

if [ -x /usr/sbin/apache2 ] && command -v curl >/dev/null; then
  p=$(port)
  cat > "$srv/httpd.conf" <<EOF
ServerRoot $srv
Listen 127.0.0.1:$p
PidFile $srv/httpd.pid
LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
User nobody
Group nogroup
ServerName localhost
ErrorLog $srv/httpd_error.log
Mutex file:$srv
DefaultRuntimeDir $srv
LogFormat "%h %l %u %t \"%r\" %>s %b \"%{Referer}i\" \"%{User-Agent}i\" %I %O" combinedio
<VirtualHost 127.0.0.1:$p>
  ServerName alpha.example
  ServerAlias www.alpha.example
  DocumentRoot $DEMO_VHOSTS/alpha.example/httpdocs
  <Directory $DEMO_VHOSTS/alpha.example/httpdocs>
    Require all granted
  </Directory>
  CustomLog $DEMO_VHOSTS/alpha.example/logs/access_apache.log combinedio
</VirtualHost>
EOF
  /usr/sbin/apache2 -f "$srv/httpd.conf" -k start
  if wait_port "$p"; then
    visit alpha.example "$p"
    visit www.alpha.example "$p"
  fi
  stop "$srv/httpd.pid"
  echo "Linux host demo: Apache wrote $(wc -l < "$DEMO_VHOSTS/alpha.example/logs/access_apache.log") lines for alpha.example"
else
  echo "Linux host demo: apache2 or curl is not installed (scripts/setup.sh installs them); no Apache log" >&2
fi

if [ -x /usr/sbin/nginx ] && command -v curl >/dev/null; then
  p=$(port)
  cat > "$srv/nginx.conf" <<EOF
worker_processes 1;
pid $srv/nginx.pid;
error_log $srv/nginx_error.log;
user nobody nogroup;
events { worker_connections 64; }
http {
  client_body_temp_path $srv/ngx/body; proxy_temp_path $srv/ngx/proxy; fastcgi_temp_path $srv/ngx/fastcgi;
  uwsgi_temp_path $srv/ngx/uwsgi; scgi_temp_path $srv/ngx/scgi;
  access_log off;
  server { listen 127.0.0.1:$p; server_name beta.example www.beta.example shop.beta.example;
           root $DEMO_VHOSTS/beta.example/httpdocs; access_log $DEMO_VHOSTS/beta.example/logs/access_nginx.log combined; }
  server { listen 127.0.0.1:$p; server_name gamma.example;
           root $DEMO_VHOSTS/gamma.example/httpdocs; access_log $gamma_logs/access.log combined; }
}
EOF
  /usr/sbin/nginx -p "$srv/ngx" -c "$srv/nginx.conf"
  if wait_port "$p"; then
    visit beta.example "$p"
    visit shop.beta.example "$p"
    visit gamma.example "$p"
  fi
  stop "$srv/nginx.pid"
  echo "Linux host demo: nginx wrote $(wc -l < "$DEMO_VHOSTS/beta.example/logs/access_nginx.log") lines for beta.example," \
       "$(wc -l < "$gamma_logs/access.log") for gamma.example"
else
  echo "Linux host demo: nginx or curl is not installed (scripts/setup.sh installs them); no nginx log" >&2
fi

ftp_logs="$DEMO_DATA/ftp/logs/192.0.2.10"
mkdir -p "$ftp_logs"
if [ -x /usr/sbin/proftpd ]; then
  p=$(port)
  home="$srv/ftphome"
  mkdir -p "$home"
  head -c 150000 /dev/urandom > "$home/report.pdf"
  chown -R nobody:nogroup "$home"
  echo "alphaftp:$(openssl passwd -6 demo):65534:65534::$home:/bin/false" > "$srv/ftp.passwd"
  echo "nogroup:x:65534:" > "$srv/ftp.group"
  chmod 600 "$srv/ftp.passwd"
  cat > "$srv/proftpd.conf" <<EOF
ServerType standalone
DefaultServer on
ServerName "demo"
Port $p
DefaultAddress 127.0.0.1
UseIPv6 off
User nobody
Group nogroup
PidFile $srv/proftpd.pid
ScoreboardFile $srv/proftpd.scoreboard
DelayTable none
WtmpLog off
UseReverseDNS off
AuthOrder mod_auth_file.c
AuthUserFile $srv/ftp.passwd
AuthGroupFile $srv/ftp.group
RequireValidShell off
DefaultRoot ~
AllowOverwrite on
SystemLog $srv/proftpd.log
TransferLog $ftp_logs/xferlog
EOF
  /usr/sbin/proftpd -c "$srv/proftpd.conf"
  if wait_port "$p"; then
    /usr/bin/python3 - "$p" <<'EOF'
import ftplib, io, sys
f = ftplib.FTP()
f.connect('127.0.0.1', int(sys.argv[1]))
f.login('alphaftp', 'demo')
f.retrbinary('RETR report.pdf', io.BytesIO().write)
f.storbinary('STOR upload.txt', io.BytesIO(b'x' * 25000))
f.quit()
EOF
  fi
  stop "$srv/proftpd.pid"
  echo "Linux host demo: ProFTPD wrote $(wc -l < "$ftp_logs/xferlog" 2>/dev/null || echo 0) transfer lines for alphaftp"
else
  echo "Linux host demo: proftpd-basic is not installed (scripts/setup.sh installs it); no xferlog" >&2
fi
# Lines of this very second belong to the next run's window.
sleep 1
