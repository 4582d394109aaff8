#!/usr/bin/env bash
# Round trips with a real PostGIS: starts a throwaway PostgreSQL cluster (its own
# data directory in a temporary folder, listening on a free loopback port only),
# creates the postgis extension from the test suite, runs
# tests/integration/test_postgis.py through psycopg 3 and stops the cluster on
# exit, whatever happens. Installs Debian's postgresql and postgis packages when
# they are missing. Extra arguments go to pytest.
GEOWEAVE_EXTRAS="[test,postgis]"
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$ROOT"

# The newest installed server that has the postgis extension next to it.
find_pg_bin() {
  local dir version
  for dir in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
    version=$(basename "$(dirname "$dir")")
    if [ -x "$dir/initdb" ] && ls /usr/share/postgresql/"$version"/extension/postgis.control >/dev/null 2>&1; then
      echo "$dir"; return 0
    fi
  done
  return 1
}

if ! PG_BIN=$(find_pg_bin); then
  install_debs postgresql postgresql-postgis
  PG_BIN=$(find_pg_bin) || { echo "no PostgreSQL server with PostGIS after installing" >&2; exit 1; }
fi

# PostgreSQL refuses to run as root: run the server as the postgres system user then.
AS=()
if [ "$(id -u)" -eq 0 ]; then
  id -u postgres >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin postgres
  AS=(runuser -u postgres --)
fi

PGTMP=$(mktemp -d /tmp/geoweave-pg.XXXXXX)
chmod 755 "$PGTMP"
[ ${#AS[@]} -eq 0 ] || chown postgres: "$PGTMP"
stop_cluster() {
  if [ -f "$PGTMP/data/postmaster.pid" ]; then
    "${AS[@]}" "$PG_BIN/pg_ctl" -D "$PGTMP/data" -m fast -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$PGTMP"
}
trap stop_cluster EXIT

PORT=$("$PYTHON" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"${AS[@]}" "$PG_BIN/initdb" -D "$PGTMP/data" -U geoweave --auth=trust -E UTF8 --no-locale \
  --no-sync >"$PGTMP/initdb.log" 2>&1 || { cat "$PGTMP/initdb.log" >&2; exit 1; }
# Loopback TCP only, the socket in the temporary folder, no durability needed.
"${AS[@]}" "$PG_BIN/pg_ctl" -D "$PGTMP/data" -l "$PGTMP/server.log" -w -t 60 \
  -o "-c listen_addresses=127.0.0.1 -p $PORT -k $PGTMP -c fsync=off -c full_page_writes=off" \
  start >/dev/null || { cat "$PGTMP/server.log" >&2; exit 1; }
echo "PostgreSQL $("$PG_BIN/postgres" -V | awk '{print $3}') on 127.0.0.1:$PORT ($PGTMP)" >&2

export GEOWEAVE_INTEGRATION=postgis
export GEOWEAVE_PG_DSN="host=127.0.0.1 port=$PORT user=geoweave dbname=postgres"
"$PYTHON" -m pytest -q -p no:cacheprovider "$@" tests/integration
