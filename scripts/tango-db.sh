#!/usr/bin/env bash
# Brings up a throwaway Tango database on this PC, for trying mervane-tango with a database: a
# MariaDB server on a data folder of its own and Tango's database server DataBaseds, both on
# 127.0.0.1 and started directly (no systemd, no system-wide service touched).
# Needs Debian's mariadb-server and tango-db (apt-get install mariadb-server tango-db).
#   scripts/tango-db.sh start [DIR]   prints the TANGO_HOST to export
#   scripts/tango-db.sh stop [DIR]    stops both and removes DIR
# DIR defaults to /tmp/mervane-tango-db; TANGO_PORT (10000) and SQL_PORT (13306) choose the ports.
set -euo pipefail
command=${1:-start}
dir=${2:-/tmp/mervane-tango-db}
tango_port=${TANGO_PORT:-10000}
sql_port=${SQL_PORT:-13306}
user=$(id -un)
sql=(mariadb --no-defaults --socket="$dir/mariadb.sock" -u "$user")

# Waits up to 30 s for a command to succeed.
wait_for() {
  for _ in $(seq 300); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "tango-db: gave up waiting for: $*" >&2
  return 1
}

stop() {
  if [ -f "$dir/databaseds.pid" ]; then
    kill "$(cat "$dir/databaseds.pid")" 2>/dev/null || true
    rm -f "$dir/databaseds.pid"
  fi
  if [ -S "$dir/mariadb.sock" ]; then
    mariadb-admin --no-defaults --socket="$dir/mariadb.sock" -u "$user" shutdown || true
  fi
  rm -rf "$dir"
  echo "tango-db: stopped, $dir removed"
}

start() {
  for program in mariadbd mariadb-install-db /usr/lib/tango/DataBaseds; do
    command -v "$program" >/dev/null || {
      echo "tango-db: $program is missing: apt-get install mariadb-server tango-db" >&2
      exit 1
    }
  done
  mkdir -p "$dir"
  if [ ! -d "$dir/data/mysql" ]; then
    echo "tango-db: new MariaDB data folder $dir/data"
    mariadb-install-db --no-defaults --datadir="$dir/data" --user="$user" --auth-root-authentication-method=socket \
      --skip-test-db >"$dir/install.log" 2>&1
  fi
  mariadbd --no-defaults --datadir="$dir/data" --socket="$dir/mariadb.sock" --pid-file="$dir/mariadb.pid" \
    --port="$sql_port" --bind-address=127.0.0.1 --user="$user" >"$dir/mariadb.log" 2>&1 &
  wait_for mariadb-admin --no-defaults --socket="$dir/mariadb.sock" -u "$user" ping
  echo "tango-db: MariaDB on 127.0.0.1:$sql_port (pid $(cat "$dir/mariadb.pid"))"
  if [ -z "$("${sql[@]}" -N -e "SHOW DATABASES LIKE 'tango'")" ]; then
    "${sql[@]}" -e "CREATE DATABASE tango;
      CREATE USER 'tango'@'127.0.0.1' IDENTIFIED BY 'tango'; GRANT ALL ON tango.* TO 'tango'@'127.0.0.1';"
    # Debian's schema script names its parts by absolute path.
    "${sql[@]}" tango </usr/share/dbconfig-common/data/tango-db/install/mysql
    echo "tango-db: Tango schema loaded into the database tango"
  fi
  MYSQL_HOST=127.0.0.1:$sql_port MYSQL_USER=tango MYSQL_PASSWORD=tango MYSQL_DATABASE=tango \
    /usr/lib/tango/DataBaseds 2 -ORBendPoint "giop:tcp:127.0.0.1:$tango_port" >"$dir/databaseds.log" 2>&1 &
  echo $! >"$dir/databaseds.pid"
  wait_for env TANGO_HOST="127.0.0.1:$tango_port" /usr/bin/python3 -c "import tango; tango.Database().get_info()"
  echo "tango-db: DataBaseds on 127.0.0.1:$tango_port (pid $(cat "$dir/databaseds.pid"))"
  echo "export TANGO_HOST=127.0.0.1:$tango_port"
}

case "$command" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop [DIR]" >&2; exit 2 ;;
esac
