#!/usr/bin/env bash
# Demo part: disk usage. Domain directories with content in every category
# (httpdocs, anon_ftp, logs, web_users and a stray file), backup dumps of
# alpha.example in the dump repository's layout, ModSecurity logs, a Tomcat
# application of gamma.example with the Tomcat provider registered, and the
# two provider plugins in the product's admin/bin. When mariadbd is installed
# and nothing listens on 127.0.0.1:3306, a private MariaDB server is started
# there (data in $DEMO_RUN/mariadb, stopped by diskusage.after) with the
# database alpha_shop, so that alpha.example shows MySQL usage; otherwise the
# run reports the unreachable server as an error and goes on.
set -euo pipefail

lib="$(cd "$DEMO_BIN/.." && pwd)/lib"
reg() { "$DEMO_BIN/halvex-reg" "$@" >/dev/null; }
key='HKLM\SOFTWARE\Halvex\QMX Config\Config'
fill() { mkdir -p "$(dirname "$1")"; head -c "$2" /dev/zero | tr '\0' 'd' > "$1"; }

for domain in alpha.example beta.example gamma.example; do
  site="$DEMO_VHOSTS/$domain"
  fill "$site/httpdocs/index.html" 2048
  fill "$site/httpdocs/images/logo.png" 10240
  fill "$site/httpdocs/logs/kept-by-the-site.log" 300   # counts as httpdocs: only top-level names classify
  fill "$site/cgi-bin/form.cgi" 700
  fill "$site/anon_ftp/pub/readme.txt" 512
  fill "$site/web_users/joe/index.html" 1024
  fill "$site/logs/error_log" 1500
  fill "$site/notes.txt" 100                            # a stray file: counts as httpdocs
done

alpha_guid=6f1c2a90-0000-4000-8000-000000000001
fill "$DEMO_DATA/backups/domains/$alpha_guid/alpha_backup_daily.tar" 40960
fill "$DEMO_DATA/backups/domains/$alpha_guid/alpha_backup_weekly/part1.tgz" 20480
# The administrator's dump is left out unless include_admindumps says "true".
fill "$DEMO_DATA/backups/admin/$alpha_guid/full_server_backup.tar" 81920
fill "$DEMO_DATA/ModSecurity/vhosts/$alpha_guid/logs/modsec_audit.log" 4096
fill "$DEMO_DATA/var/tomcat/qmx-wars/gamma.example/shop.war" 30000
fill "$DEMO_DATA/var/tomcat/qmx-wars/gamma.example/shop/WEB-INF/web.xml" 1200

for plugin in qmxrepository tomcatprovider; do
  if [ -f "$lib/$plugin.so" ]; then
    cp "$lib/$plugin.so" "$DEMO_PRODUCT/admin/bin/$plugin.so"
  else
    echo "disk usage demo: $lib/$plugin.so is not built" >&2
  fi
done
reg add "$key\\Packages\\tomcat" /ve /d tomcat9 /f
reg add "$key\\Packages\\tomcat\\tomcat9" /v dll /d "$DEMO_PRODUCT/admin/bin/tomcatprovider.so" /f

# A private MariaDB server for alpha.example's database alpha_shop.
if ! command -v mariadbd >/dev/null 2>&1 && [ ! -x /usr/sbin/mariadbd ]; then
  echo "disk usage demo: mariadbd is not installed; MySQL usage will be reported as unreachable" >&2
  exit 0
fi
if (exec 3<>/dev/tcp/127.0.0.1/3306) 2>/dev/null; then
  echo "disk usage demo: something already listens on 127.0.0.1:3306; using it as it is" >&2
  exit 0
fi
db="$DEMO_RUN/mariadb"
mkdir -p "$db"
mariadb-install-db --no-defaults --datadir="$db/data" --user=root --auth-root-authentication-method=normal >"$db/install.log" 2>&1
/usr/sbin/mariadbd --no-defaults --datadir="$db/data" --socket="$db/sock" --port=3306 --bind-address=127.0.0.1 \
  --user=root --pid-file="$db/pid" >"$db/server.log" 2>&1 &
for _ in $(seq 1 60); do
  grep -q "ready for connections" "$db/server.log" 2>/dev/null && break
  sleep 0.5
done
if ! grep -q "ready for connections" "$db/server.log"; then
  echo "disk usage demo: the MariaDB server did not start (see $db/server.log)" >&2
  exit 0
fi
mariadb --no-defaults -h127.0.0.1 -P3306 -uroot -e "
  CREATE DATABASE alpha_shop;
  CREATE TABLE alpha_shop.products (id INT PRIMARY KEY, name VARCHAR(80), KEY (name)) ENGINE=InnoDB;
  INSERT INTO alpha_shop.products SELECT seq, CONCAT('product ', seq) FROM alpha_shop.seq_1_to_5000;
  ANALYZE TABLE alpha_shop.products;" >/dev/null
echo "disk usage demo: MariaDB on 127.0.0.1:3306 holds alpha_shop ($(mariadb --no-defaults -h127.0.0.1 -P3306 -uroot -N -e \
  "SELECT SUM(DATA_LENGTH + INDEX_LENGTH) FROM information_schema.TABLES WHERE TABLE_SCHEMA = 'alpha_shop'") bytes)"
