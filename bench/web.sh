#!/usr/bin/env bash
# quillo-web under load, measured side by side in one run:
#
#   rows       GET /api/rows for one user over a tree of TREE_ROWS access
#              rows written by quillod through the load generator (whose
#              50 users User00..User49 take turns, so the user has
#              TREE_ROWS/50 rows: one page while that is at most 100000),
#              beside quillo-query --output json --user for the same user:
#              the median of ROUNDS wall times each, alternating, on a
#              warm cache; the two outputs compared byte for byte once
#              (they must be equal) and the ratio API speed / quillo-query
#              speed (target >= 0.8)
#   dashboard  CLIENTS dashboard clients (bench/web_load.py) loading the
#              dashboard again and again for DURATION seconds over a tree
#              of DASH_ROWS access rows spread over the last 30 days: the
#              p50, p90 and p99 of one whole load (GET /, its assets, the
#              seven API calls, at most PARALLEL at once on as many kept
#              connections), loads/s, the statuses seen and quillo-web's
#              CPU time (target p99 < 500 ms). PARALLEL is 1 by default:
#              quillo-web serves at most 64 connections and closes the
#              ones beyond, so 50 clients fit with one connection each; a
#              browser may open up to six (PARALLEL=6 shows what 300 do)
#
# The dashboard tree is written directly in quillod's format (byte order
# mark, CR LF, 65535 rows a file, month folders), as bench/query.sh does:
# quillod stamps access rows with its own clock, so rows it wrote would all
# be "now" and the ranges -24h, -7d and -30d would be the same rows. Every
# 50th row is also an alert row. Nothing passes or fails on the figures.
#
#   bench/web.sh    TREE_ROWS (2000000), ROUNDS (5), DASH_ROWS (200000),
#                   CLIENTS (50), DURATION (20), PARALLEL (1), AUTH
#                   (cookie|bearer); BUILD_DIR and NO_BUILD as in
#                   bench_env.sh
set -euo pipefail
source "$(dirname "$0")/bench_env.sh"
tree_rows=${TREE_ROWS:-2000000}
rounds=${ROUNDS:-5}
dash_rows=${DASH_ROWS:-200000}
clients=${CLIENTS:-50}
duration=${DURATION:-20}
parallel=${PARALLEL:-1}
auth=${AUTH:-cookie}
user=User17
export TZ=UTC

bench_build quillod quillo-query quillo-web quillo_load_gen
gen=$build/bench/quillo_load_gen
query=$build/query/quillo-query
web=$build/web/quillo-web

seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e6 }'; }

# start_web ROOT: quillo-web on a free loopback port over ROOT/logs; sets
# web_pid, web_port and token (waits at most 10 s for its first line).
start_web() {
  QUILLO_ROOT=$1 "$web" --listen 127.0.0.1:0 --root "$1/logs" >"$1/web.out" 2>&1 &
  web_pid=$!
  bench_pids+=("$web_pid")
  web_port=""
  for _ in $(seq 1 200); do
    web_port=$(sed -n 's/^quillo-web: listening on port \([0-9]*\);.*/\1/p' "$1/web.out")
    [ -n "$web_port" ] && break
    sleep 0.05
  done
  [ -n "$web_port" ] || { echo "quillo-web did not start:" >&2; cat "$1/web.out" >&2; exit 1; }
  token_file=$1/mnt/data/conf/quillo/web.token
  token=$(cat "$token_file")
}

# stop PID: ends one of the servers started here and forgets its pid.
stop() {
  local p kept=()
  kill "$1"
  wait "$1" 2>/dev/null || true
  for p in "${bench_pids[@]}"; do [ "$p" = "$1" ] || kept+=("$p"); done
  bench_pids=("${kept[@]}")
}

# cpu_ticks PID: user + system clock ticks of PID so far.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# --- rows: the API beside quillo-query over a tree quillod wrote
bench_tree root
bench_config "$root"
bench_start_daemon "$root"
echo "writing $tree_rows access rows through quillod" >&2
QUILLO_ROOT=$root "$gen" -n "$tree_rows" -c 1 -S 256 >/dev/null
stop "$daemon_pid"
logs=$root/logs
find "$logs" -name '*.csv' -exec cat {} + >/dev/null  # warm the cache
start_web "$root"

# Each round asks with another limit (all above the user's rows, so the
# same answer): quillo-web shares the answer to a question asked again on
# an unchanged tree, and the figure is the scan's, not the sharing's.
limit=100000
api_get() {
  curl -s -D "$root/api.head" -o "$root/api.out" -w '%{http_code}' \
    -H "Authorization: Bearer $token" \
    "http://127.0.0.1:$web_port/api/rows?user=$user&limit=$limit"
}
query_run() { "$query" --root "$logs" --output json --user "$user" >"$root/query.out"; }

status=$(api_get)
query_run
[ "$status" = 200 ] || { echo "/api/rows answered $status" >&2; cat "$root/api.out" >&2; exit 1; }
matches=$(wc -l <"$root/query.out")
if grep -qi '^Link:' "$root/api.head"; then
  echo "$user has $matches rows: more than one page (TREE_ROWS/50 must be <= 100000)" >&2
  exit 1
fi
if ! cmp -s "$root/api.out" "$root/query.out"; then
  echo "/api/rows and quillo-query differ for $user:" >&2
  cmp "$root/api.out" "$root/query.out" >&2 || true
  exit 1
fi
api_s=() query_s=()
for r in $(seq 1 "$rounds"); do
  limit=$((limit - 1))
  a=${EPOCHREALTIME/./}
  status=$(api_get)
  b=${EPOCHREALTIME/./}
  query_run
  c=${EPOCHREALTIME/./}
  [ "$status" = 200 ] || { echo "/api/rows answered $status" >&2; exit 1; }
  api_s+=("$(seconds "$a" "$b")")
  query_s+=("$(seconds "$b" "$c")")
  echo "  rows run $r: /api/rows ${api_s[-1]} s, quillo-query ${query_s[-1]} s" >&2
done
m_api=$(median "${api_s[@]}") m_query=$(median "${query_s[@]}")
files=$(find "$logs/accesslog" -name '*.csv' | wc -l)
bytes=$(stat -c %s "$root/api.out")
stop "$web_pid"
rm -rf "$root"

# --- dashboard: CLIENTS clients over a tree of the last 30 days
droot=""  # set by bench_tree
bench_tree droot
echo "generating $dash_rows access rows over the last 30 days" >&2
python3 - "$droot/logs" "$dash_rows" <<'PY'
import os, sys, time
root, total = sys.argv[1], int(sys.argv[2])
end = int(time.time()) - 1
start = end - 30 * 86400
users = ["alice%02d" % i for i in range(50)]
ops = ["open_read", "open_write", "delete", "rename", "mkdir"]

class Log:
    """One kind's files as quillod writes them: a new file at 65535 rows or
    a new month, named by the time of its first row."""
    def __init__(self, kind):
        self.kind, self.f, self.count, self.month = kind, None, 0, None
    def write(self, t, line):
        tm = time.gmtime(t)
        m = time.strftime("%Y%m", tm)
        if self.f is None or self.count == 65535 or m != self.month:
            if self.f: self.f.close()
            self.month = m
            d = os.path.join(root, self.kind + "log", m)
            os.makedirs(d, exist_ok=True)
            name = "%s_%s.csv" % (self.kind, time.strftime("%Y%m%d%H%M%S", tm))
            self.f = open(os.path.join(d, name), "wb")
            self.f.write(b"\xef\xbb\xbf")
            self.count = 0
        self.f.write(time.strftime("%Y/%m/%d %H:%M:%S,", tm).encode() + line)
        self.count += 1
    def close(self):
        if self.f: self.f.close()

access, alert = Log("access"), Log("alert")
for i in range(total):
    t = start + (i * (end - start)) // max(1, total - 1)
    result = "fail (Permission denied)" if i % 7 == 0 else "ok"
    line = ("%s,pc%03d,192.0.2.%d,%s,%s,share%d,dir%d/file%d.txt\r\n" % (
        users[i % 50], i % 200, i % 250, ops[i % 5], result, i % 4, i % 97,
        i)).encode()
    access.write(t, line)
    if i % 50 == 0:
        alert.write(t, line)
access.close()
alert.close()
PY
range_rows=""
for since in -24h -7d -30d; do
  range_rows+=" $since: $("$query" --root "$droot/logs" --kind access --since "$since" | wc -l)"
done
find "$droot/logs" -name '*.csv' -exec cat {} + >/dev/null
start_web "$droot"
dash_status=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$web_port/")
ticks0=$(cpu_ticks "$web_pid")
echo "$clients dashboard clients for $duration s" >&2
python3 "$repo/bench/web_load.py" --port "$web_port" --token-file "$token_file" \
  --clients "$clients" --duration "$duration" --parallel "$parallel" \
  --auth "$auth" >"$droot/load.out"
ticks1=$(cpu_ticks "$web_pid")
stop "$web_pid"

echo
echo "== /api/rows?user=$user beside quillo-query --output json --user $user"
echo "  tree: $tree_rows access rows written by quillod, $files files; $user: $matches rows, $bytes bytes, equal byte for byte"
echo "  median of $rounds: /api/rows $m_api s, quillo-query $m_query s"
awk -v a="$m_api" -v q="$m_query" \
  'BEGIN { printf "  API speed / quillo-query speed: %.2f (target >= 0.80)\n", q / a }'
echo "== $clients dashboard clients, $duration s, $dash_rows access rows over 30 days"
echo "  access rows since$range_rows"
echo "  GET / without the token: $dash_status"
sed 's/^/  /' "$droot/load.out"
awk -v t="$((ticks1 - ticks0))" -v hz="$(getconf CLK_TCK)" \
  'BEGIN { printf "  quillo-web CPU: %.1f s\n", t / hz }'
