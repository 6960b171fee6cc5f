#!/usr/bin/env bash
# Stops the server started by mariadb-up.sh (by its PID) and removes its
# folder; with --keep first, keeps the folder so mariadb-up.sh can restart it.
set -uo pipefail
keep=""
[ "${1:-}" = "--keep" ] && { keep=1; shift; }
D=$1
P=$(cat "$D/mariadbd.bgpid" 2>/dev/null) || exit 0
mariadb-admin --no-defaults --socket="$D/mysqld.sock" -u"$(id -un)" shutdown 2>/dev/null || kill -TERM "$P" 2>/dev/null
for _ in $(seq 1 300); do kill -0 "$P" 2>/dev/null || break; sleep 0.1; done
kill -KILL "$P" 2>/dev/null
[ -n "$keep" ] || rm -rf "$D"
