#!/usr/bin/env bash
# Starts the reference server (--dev --demo, a free port, a fresh data folder) and runs the share
# page's browser test against it. Usage: run-share-test.sh PATH/TO/tolvar-server
set -euo pipefail
server=$1
here=$(cd "$(dirname "$0")" && pwd)
[ -d "$here/node_modules/puppeteer-core" ] || { echo "run-share-test: run scripts/setup first (npm ci in tests/browser)" >&2; exit 1; }
command -v "${TVR_CHROMIUM:-/usr/bin/chromium}" >/dev/null || { echo "run-share-test: chromium is missing (scripts/setup)" >&2; exit 1; }

data=$(mktemp -d)
out="$data/server.out"
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$data"
}
trap cleanup EXIT
"$server" --listen 127.0.0.1:0 --data "$data/server" --dev --demo >"$out" 2>&1 &
pid=$!
# The first line names the port; read it as soon as the server writes it.
exec 3< <(tail -n +1 -f "$out" --pid "$pid")
line=
read -r -t 20 line <&3 || true
case $line in
  "listening on http://"*) base=${line#listening on } ;;
  *) echo "run-share-test: the server did not start: $line" >&2; cat "$out" >&2; exit 1 ;;
esac
cd "$here"
TVR_BASE_URL=$base node --test share.test.mjs
