#!/usr/bin/env bash
# Starts the local Firebird 3 server that the database tests and benchmarks
# use, unless it already answers. No init system runs on the build machines,
# so the guardian is started directly, as the package's own init script does.
# Idempotent: a running server is left alone.
set -euo pipefail

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

fbguard=/usr/sbin/fbguard
rundir=/var/run/firebird3.0
pidfile=$rundir/firebird.pid
pwfile=/etc/firebird/3.0/SYSDBA.password
port=3050

[ -x "$fbguard" ] || { echo "firebird.sh: $fbguard missing (package firebird3.0-server)" >&2; exit 1; }

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }

# The password the package generated at installation; the tests read it the
# same way.
password=$("${sudo_cmd[@]}" sed -n 's/^ISC_PASSWORD="\{0,1\}\([^"]*\)"\{0,1\}$/\1/p' "$pwfile")
[ -n "$password" ] || { echo "firebird.sh: no ISC_PASSWORD in $pwfile" >&2; exit 1; }

if ! pidof -q "$fbguard" && ! listening; then
  "${sudo_cmd[@]}" install -d -m 0770 -o firebird -g firebird "$rundir"
  "${sudo_cmd[@]}" rm -f "$pidfile"
  "${sudo_cmd[@]}" start-stop-daemon --start --quiet --chuid firebird --pidfile "$pidfile" \
    --exec "$fbguard" -- -daemon -forever -pidfile "$pidfile"
fi

# Ready means a client can log in, not only that the port is open. The
# password goes in the environment, where other users' ps cannot read it.
for _ in $(seq 1 100); do
  if listening && ISC_USER=SYSDBA ISC_PASSWORD="$password" fbsvcmgr localhost:service_mgr \
      info_server_version >/dev/null 2>&1; then
    exit 0
  fi
  sleep 0.2
done
echo "firebird.sh: the Firebird server does not accept connections on localhost:$port" >&2
exit 1
