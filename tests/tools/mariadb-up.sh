#!/usr/bin/env bash
# Throwaway MariaDB for the tests: 127.0.0.1:${MARIADB_PORT:-3307}, database
# smarthouse, user 'user' / 'chgpw123'. Prints DIR=<folder>; stop it with
# mariadb-down.sh <folder>. Given the folder of a server stopped with
# mariadb-down.sh --keep, starts that server again on its data.
set -euo pipefail
D=${1:-$(mktemp -d /tmp/kivd-mariadb.XXXXXX)}
PORT=${MARIADB_PORT:-3307}
mkdir -p "$D/data"
RUNUSER=$(id -un)
if [ ! -d "$D/data/mysql" ]; then
  mariadb-install-db --no-defaults --user="$RUNUSER" --datadir="$D/data" \
      --auth-root-authentication-method=socket --skip-test-db > "$D/install.log" 2>&1
fi
mariadbd --no-defaults --user="$RUNUSER" --datadir="$D/data" \
    --socket="$D/mysqld.sock" --pid-file="$D/mysqld.pid" --log-error="$D/error.log" \
    --port="$PORT" --bind-address=127.0.0.1 --skip-name-resolve \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_unicode_ci \
    --innodb-buffer-pool-size=32M --innodb-log-file-size=16M > "$D/stdout.log" 2>&1 &
echo $! > "$D/mariadbd.bgpid"
for _ in $(seq 1 300); do
  mariadb-admin --no-defaults --socket="$D/mysqld.sock" -u"$RUNUSER" ping >/dev/null 2>&1 && break
  kill -0 "$(cat "$D/mariadbd.bgpid")" 2>/dev/null || { echo "mariadbd died:" >&2; cat "$D/error.log" >&2; exit 1; }
  sleep 0.1
done
mariadb --no-defaults --socket="$D/mysqld.sock" -u"$RUNUSER" <<'SQL'
CREATE DATABASE IF NOT EXISTS smarthouse CHARACTER SET utf8mb4;
CREATE USER IF NOT EXISTS 'user'@'127.0.0.1' IDENTIFIED BY 'chgpw123';
CREATE USER IF NOT EXISTS 'user'@'localhost' IDENTIFIED BY 'chgpw123';
GRANT ALL PRIVILEGES ON *.* TO 'user'@'127.0.0.1';
GRANT ALL PRIVILEGES ON *.* TO 'user'@'localhost';
FLUSH PRIVILEGES;
SQL
echo "DIR=$D"
