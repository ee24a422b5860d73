#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# Does nothing when all of them are present; refreshes the package lists only
# when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config
  libgtest-dev libgmock-dev googletest
  libpoco-dev libicu-dev libmariadb-dev zlib1g-dev libminizip-dev
  libboost-regex-dev libsqlite3-dev libxml2-dev unixodbc-dev tdsodbc
  faketime unzip openssl python3 python3-aiosmtpd
  mariadb-server webalizer awstats
  clang libclang-rt-14-dev
  postfix dovecot-imapd dovecot-pop3d iproute2 xz-utils bzip2 zstd
  apache2 nginx proftpd-basic curl logrotate
  debhelper dpkg-dev fakeroot lintian man-db systemd
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
# Servers the tests start themselves (web, FTP, mail) must not be started by
# their packages: a policy that refuses every service start while installing.
policy=/usr/sbin/policy-rc.d
made_policy=""
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  made_policy=1
fi
trap '[ -n "$made_policy" ] && $SUDO rm -f "$policy"' EXIT
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
