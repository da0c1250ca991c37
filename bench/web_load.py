#!/usr/bin/env python3
"""Dashboard clients against quillo-web, for bench/web.sh.

  web_load.py --port PORT --token-file FILE [--clients 50] [--duration 20]
              [--parallel 6] [--auth cookie|bearer] [--ranges -24h,-7d,-30d]

Each client behaves as a browser showing the dashboard: it logs in once
(POST /login with the token, then the cookie on every request; or the
Bearer header with --auth bearer) and then loads the dashboard again and
again until DURATION seconds have passed:

  GET /, then the /static/ assets the page names (at most PARALLEL at
  once), then the seven API calls of the dashboard for range R (at most
  PARALLEL at once).

R goes round the --ranges, one load after another. Every client holds up
to PARALLEL keep-alive connections, as a browser holds six per host; a
request on a connection the server has closed since its last use is sent
once more on a new one, as a browser does; a request that gets no answer
on a new connection fails its load, and the client waits RETRY_PAUSE
before its next load, as a page that shows the error and tries again
later (rather than a storm of reconnections). When GET / is not a page, the assets
fetched are two guessed names (/static/app.js, /static/app.css) and the
summary says so.

A load's latency runs from its GET / to the last API answer. Prints the
p50, p90 and p99 of the loads that got every answer, loads/s, the loads
that failed, the statuses seen for each request and the CPU seconds this
program used (to show it is not what limits the rate).

Python rather than C++: each request costs this program some hundred
microseconds, the server tens of milliseconds (counts over the tree), so
the client is not the bottleneck, and the browser's behaviour (a pool of
six keep-alive connections, the retry on a closed one) stays readable.
"""

import argparse
import collections
import concurrent.futures
import http.client
import re
import sys
import threading
import time

# A request that has not been answered by then fails its load.
REQUEST_BOUND = 30.0
RETRY_PAUSE = 1.0
GUESSED_ASSETS = ["/static/app.js", "/static/app.css"]
COUNT_FIELDS = ["hour", "user", "share", "ip", "op"]


def api_paths(since):
    """The seven API calls of the dashboard for range `since`."""
    paths = ["/api/count?kind=access&by=%s&since=%s" % (f, since)
             for f in COUNT_FIELDS]
    paths.append("/api/rows?kind=access&result=fail&since=%s&last=20" % since)
    paths.append("/api/rows?kind=alert&since=%s&last=20" % since)
    return paths


def assets_of(page):
    """The /static/ references (src= or href=) of an HTML page, in order."""
    found = re.findall(rb'(?:src|href)\s*=\s*["\'](/static/[^"\'#?]+)', page)
    seen = []
    for path in found:
        text = path.decode("ascii", "replace")
        if text not in seen:
            seen.append(text)
    return seen


def endpoint(path):
    """The name a request's status is tallied under."""
    if path.startswith("/api/"):
        base, _, query = path.partition("?")
        keep = [p for p in query.split("&")
                if p.startswith("by=") or p.startswith("kind=")]
        return base + "?" + "&".join(keep)
    return path


class LoadFailed(Exception):
    """A request of the load got no answer."""


class Stats:
    """What the clients saw; guarded by its lock (every client thread)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.latencies = collections.defaultdict(list)  # range -> seconds
        self.failed = 0
        self.failures = collections.Counter()  # reason -> number
        self.statuses = collections.defaultdict(collections.Counter)
        self.retries = 0
        self.opened = 0  # connections made
        self.pages = set()  # whether GET / gave a page: True/False

    def status(self, path, code):
        with self.lock:
            self.statuses[endpoint(path)][code] += 1


class Browser:
    """One client: its connections (one per pool thread) and its cookie.
    Only the client's own thread calls load(); fetch() runs on the pool."""

    def __init__(self, args, token, stats):
        self.args = args
        self.token = token
        self.stats = stats
        self.local = threading.local()
        self.pool = concurrent.futures.ThreadPoolExecutor(args.parallel)
        self.headers = {"Host": "127.0.0.1"}
        if args.auth == "bearer":
            self.headers["Authorization"] = "Bearer " + token

    def close(self):
        self.pool.shutdown(wait=True)

    def _request(self, method, path, body):
        """(status, headers, body) on this thread's connection; raises
        OSError or HTTPException when no answer came."""
        conn = getattr(self.local, "conn", None)
        reused = conn is not None
        if conn is None:
            conn = http.client.HTTPConnection("127.0.0.1", self.args.port,
                                              timeout=REQUEST_BOUND)
            self.local.conn = conn
            with self.stats.lock:
                self.stats.opened += 1
        try:
            conn.request(method, path, body=body, headers=self.headers)
            resp = conn.getresponse()
            data = resp.read()
            if resp.will_close:
                conn.close()
                self.local.conn = None
            return resp.status, resp.getheaders(), data
        except (OSError, http.client.HTTPException):
            conn.close()
            self.local.conn = None
            if not reused:
                raise
        # The server closed the kept connection since its last answer.
        with self.stats.lock:
            self.stats.retries += 1
        return self._request(method, path, body)

    def fetch(self, path, method="GET", body=None):
        try:
            status, headers, data = self._request(method, path, body)
        except (OSError, http.client.HTTPException) as e:
            raise LoadFailed("%s %s: %s" % (method, path, type(e).__name__))
        self.stats.status(path, status)
        return status, headers, data

    def login(self):
        status, headers, _ = self.pool.submit(
            self.fetch, "/login", "POST", self.token.encode()).result()
        for name, value in headers:
            if name.lower() == "set-cookie" and status == 204:
                self.headers["Cookie"] = value.split(";", 1)[0]
                return
        raise LoadFailed("POST /login: %d without a cookie" % status)

    def load(self, since):
        """One whole dashboard load; its seconds, or LoadFailed."""
        start = time.monotonic()
        if self.args.auth == "cookie" and "Cookie" not in self.headers:
            self.login()
            start = time.monotonic()  # logging in is not part of a load
        status, headers, page = self.pool.submit(self.fetch, "/").result()
        kind = dict((k.lower(), v) for k, v in headers).get("content-type", "")
        is_page = status == 200 and kind.startswith("text/html")
        with self.stats.lock:
            self.stats.pages.add(is_page)
        assets = assets_of(page) if is_page else GUESSED_ASSETS
        for _ in self.pool.map(self.fetch, assets):
            pass
        for _ in self.pool.map(self.fetch, api_paths(since)):
            pass
        return time.monotonic() - start


def client(args, token, stats, number, deadline):
    browser = Browser(args, token, stats)
    ranges = args.ranges.split(",")
    k = number  # clients start on different ranges
    try:
        while time.monotonic() < deadline:
            since = ranges[k % len(ranges)]
            k += 1
            try:
                seconds = browser.load(since)
            except LoadFailed as e:
                with stats.lock:
                    stats.failed += 1
                    stats.failures[re.sub(r"\?\S*", "", str(e))] += 1
                time.sleep(min(RETRY_PAUSE, max(0, deadline - time.monotonic())))
                continue
            with stats.lock:
                stats.latencies[since].append(seconds)
    finally:
        browser.close()


def percentile(values, p):
    """The nearest-rank p-th percentile of `values` (not empty)."""
    ordered = sorted(values)
    rank = max(1, int(-(-p * len(ordered) // 100)))
    return ordered[rank - 1]


def ms(seconds):
    return "%.0f ms" % (seconds * 1000)


def report(args, stats, elapsed, cpu):
    every = [s for v in stats.latencies.values() for s in v]
    print("clients=%d parallel=%d auth=%s duration=%.1f s" %
          (args.clients, args.parallel, args.auth, elapsed))
    if every:
        print("loads=%d loads/s=%.1f p50=%s p90=%s p99=%s max=%s "
              "(target p99 < 500 ms)" %
              (len(every), len(every) / elapsed, ms(percentile(every, 50)),
               ms(percentile(every, 90)), ms(percentile(every, 99)),
               ms(max(every))))
    else:
        print("loads=0: no load got every answer")
    for since in args.ranges.split(","):
        v = stats.latencies.get(since, [])
        if v:
            print("  since=%-5s loads=%d p50=%s p99=%s" %
                  (since, len(v), ms(percentile(v, 50)), ms(percentile(v, 99))))
    print("failed loads=%d (a request without an answer; %.0f s pause "
          "after each); requests sent again on a new connection=%d" %
          (stats.failed, RETRY_PAUSE, stats.retries))
    print("connections: up to %d at once (clients x parallel), %d made" %
          (args.clients * args.parallel, stats.opened))
    for reason, n in stats.failures.most_common(5):
        print("  %d x %s" % (n, reason))
    if False in stats.pages:
        print("GET / is not a page yet: the assets fetched were the guesses "
              + " ".join(GUESSED_ASSETS))
    print("statuses:")
    for name in sorted(stats.statuses):
        codes = " ".join("%d x%d" % (c, n)
                         for c, n in sorted(stats.statuses[name].items()))
        print("  %-40s %s" % (name, codes))
    print("load tool CPU: %.1f s" % cpu)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--token-file", required=True)
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--duration", type=float, default=20)
    parser.add_argument("--parallel", type=int, default=6)
    parser.add_argument("--auth", choices=["cookie", "bearer"],
                        default="cookie")
    parser.add_argument("--ranges", default="-24h,-7d,-30d")
    args = parser.parse_args()
    with open(args.token_file) as f:
        token = f.read().strip()
    stats = Stats()
    cpu0 = time.process_time()
    start = time.monotonic()
    deadline = start + args.duration
    threads = [threading.Thread(target=client,
                                args=(args, token, stats, i, deadline))
               for i in range(args.clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    report(args, stats, time.monotonic() - start, time.process_time() - cpu0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
