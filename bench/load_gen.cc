// quillo_load_gen: sends records to quillod (or the floor server) over the
// local socket and prints the rate and latencies it saw.
//
//   quillo_load_gen [-n RECORDS] [-c CONNECTIONS] [-k access|system]
//                   [-s SOCKET] [-p PID]
//
// C threads share N records; each record is one connection, as the
// protocol has it: connect, send one frame, read the 4-byte answer, close.
// The socket is -s, or the daemon's path below QUILLO_ROOT. With -p the
// resident memory (VmRSS) of that process is read before and after.
//
// Prints one line of key=value pairs, e.g.
//   records=20000 conns=1 kind=access errors=0 seconds=1.52 rate=13157.9
//   p50_us=71.2 p99_us=120.5 max_us=2100.3 rss_before_kb=4100
//   rss_after_kb=4104
// (rss_* only with -p). Exit status 0, or 1 on a command-line error.

#include <getopt.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/root_dir.h"
#include "bench/load_stats.h"
#include "protocol/connection.h"
#include "protocol/packet.h"
#include "protocol/socket_path.h"

namespace {

using Clock = std::chrono::steady_clock;

// A request that has not been answered by then counts as an error.
constexpr std::chrono::seconds kRequestBound{10};

struct Options {
  long records = 20000;
  int connections = 1;
  bool access = true;
  std::string socket;
  pid_t pid = -1;
};

struct Shared {
  const Options& options;
  std::atomic<long> next{0};
  std::atomic<long> errors{0};
};

void usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [-n RECORDS] [-c CONNECTIONS] [-k access|system] "
               "[-s SOCKET] [-p PID]\n",
               program);
}

bool parse_options(int argc, char** argv, Options* o) {
  int c;
  while ((c = getopt(argc, argv, "n:c:k:s:p:")) != -1) {
    switch (c) {
      case 'n':
        o->records = std::atol(optarg);
        break;
      case 'c':
        o->connections = std::atoi(optarg);
        break;
      case 'k':
        if (std::strcmp(optarg, "access") != 0 &&
            std::strcmp(optarg, "system") != 0) {
          return false;
        }
        o->access = std::strcmp(optarg, "access") == 0;
        break;
      case 's':
        o->socket = optarg;
        break;
      case 'p':
        o->pid = static_cast<pid_t>(std::atol(optarg));
        break;
      default:
        return false;
    }
  }
  if (optind != argc || o->records < 0 || o->connections < 1) return false;
  if (o->socket.empty()) {
    o->socket = quillo::socket_path(base::root_from_env());
  }
  return true;
}

// Record i: varied a little so that rows are not all alike.
quillo::RequestData make_record(bool access, long i) {
  char a[64], b[64], c[64];
  if (access) {
    std::snprintf(a, sizeof a, "User%02ld", i % 50);
    std::snprintf(b, sizeof b, "pc%02ld", i % 50);
    std::snprintf(c, sizeof c, "r|projects/q3/report_%ld.txt", i);
    return quillo::ReqAccessLog(a, b, "192.0.2.10", "open", 1, 0, "docs", c);
  }
  std::snprintf(a, sizeof a, "%ld", static_cast<long>(std::time(nullptr)));
  std::snprintf(c, sizeof c, "bench record %ld", i);
  return quillo::ReqSystemLog(a, "disk0", "info", c);
}

// One record over one connection. True when the answer was code 0.
bool send_one(const std::string& socket, const quillo::RequestData& record) {
  quillo::Connection connection(socket);
  connection.set_deadline(Clock::now() + kRequestBound);
  quillo::ResultData result;
  return connection.connect() == 0 && connection.send(record) == 0 &&
         connection.receive(result) == 0 && result.code() == 0;
}

void worker(Shared* shared, std::vector<uint64_t>* latencies) {
  const Options& o = shared->options;
  for (;;) {
    const long i = shared->next.fetch_add(1);
    if (i >= o.records) return;
    const quillo::RequestData record = make_record(o.access, i);
    const auto start = Clock::now();
    const bool ok = send_one(o.socket, record);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        Clock::now() - start);
    latencies->push_back(static_cast<uint64_t>(ns.count()));
    if (!ok) shared->errors.fetch_add(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_options(argc, argv, &o)) {
    usage(argv[0]);
    return 1;
  }
  const long rss_before = o.pid > 0 ? read_vm_rss_kb(o.pid) : -1;
  Shared shared{o};
  std::vector<std::vector<uint64_t>> per_thread(
      static_cast<std::size_t>(o.connections));
  for (auto& v : per_thread) {
    v.reserve(static_cast<std::size_t>(o.records / o.connections + 1));
  }
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (auto& v : per_thread) threads.emplace_back(worker, &shared, &v);
  for (auto& t : threads) t.join();
  const double seconds =
      std::chrono::duration<double>(Clock::now() - start).count();

  std::vector<uint64_t> all;
  all.reserve(static_cast<std::size_t>(o.records));
  for (const auto& v : per_thread) all.insert(all.end(), v.begin(), v.end());
  const LatencySummary s = summarize_latencies(all);
  std::printf(
      "records=%ld conns=%d kind=%s errors=%ld seconds=%.3f rate=%.1f "
      "p50_us=%.1f p99_us=%.1f max_us=%.1f",
      o.records, o.connections, o.access ? "access" : "system",
      shared.errors.load(), seconds,
      seconds > 0 ? static_cast<double>(o.records) / seconds : 0.0,
      static_cast<double>(s.p50_ns) / 1e3, static_cast<double>(s.p99_ns) / 1e3,
      static_cast<double>(s.max_ns) / 1e3);
  if (o.pid > 0) {
    std::printf(" rss_before_kb=%ld rss_after_kb=%ld", rss_before,
                read_vm_rss_kb(o.pid));
  }
  std::printf("\n");
  return 0;
}
