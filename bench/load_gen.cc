// quillo_load_gen: sends records to quillod (or the floor server) over the
// local socket and prints the rate and latencies it saw.
//
//   quillo_load_gen [-n RECORDS] [-c CONNECTIONS] [-k access|system]
//                   [-s SOCKET] [-p PID] [-i IDLE] [-u USERS] [-S WINDOW]
//
// C threads share N records; each record is one connection, as the
// protocol has it: connect, send one frame, read the 4-byte answer, close.
// With -S, each thread opens one session instead and sends its share of
// the records on it with up to WINDOW frames in flight; a record's latency
// runs from its frame's send to its answer. A daemon that does not open
// the session counts every record of that thread as an error.
// Access record i is user User<i mod 50>; with -u, user u<i mod USERS>
// (six digits, lower case), so that USERS distinct users are seen.
// The socket is -s, or the daemon's path below QUILLO_ROOT. With -p the
// resident memory (VmRSS) of that process is read before and after.
//
// With -i, IDLE further connections to the same socket are opened before
// the measured run and held open all through it: half of them send
// nothing, the other half only the first byte of a frame's length. One
// that the daemon closes is opened again at once, so the records go
// through while IDLE idle peers wait on the daemon.
//
// Prints one line of key=value pairs, e.g.
//   records=20000 conns=1 kind=access errors=0 seconds=1.52 rate=13157.9
//   p50_us=71.2 p99_us=120.5 max_us=2100.3 idle=0 idle_min_open=0
//   idle_drops=0 rss_before_kb=4100 rss_after_kb=4104
// (rss_* only with -p). idle_min_open is the fewest idle peers open during
// the run, counted each time the closed ones have been reopened (fewer
// than IDLE when the daemon's listen backlog would not take them all);
// idle_drops counts the idle peers the daemon closed during the run.
// Exit status 0, or 1 on a command-line error or when the descriptors for
// IDLE peers cannot be had.

#include <getopt.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/root_dir.h"
#include "base/unique_fd.h"
#include "bench/load_stats.h"
#include "protocol/connection.h"
#include "protocol/packet.h"
#include "protocol/socket_path.h"

namespace {

using Clock = std::chrono::steady_clock;

// A request that has not been answered by then counts as an error.
constexpr std::chrono::seconds kRequestBound{10};

// How long the measured run waits for all idle peers to be connected
// before it starts anyway. A daemon that accepts one peer at a time leaves
// the rest in its listen backlog, and connects beyond that are refused.
constexpr std::chrono::seconds kIdleOpenBound{2};

// Pause between attempts to open idle peers that could not be connected.
// A peer the daemon closed is reopened at once; only a refused connect
// (full backlog) waits this long before the next try.
constexpr int kIdleRetryMs = 20;

// Descriptors beyond the idle peers: the measured connections, standard
// streams, the wake-up descriptor and some slack.
constexpr int kSpareDescriptors = 32;

struct Options {
  long records = 20000;
  int connections = 1;
  bool access = true;
  std::string socket;
  pid_t pid = -1;
  int idle = 0;
  long users = 0;  // 0: the 50 users User00..User49
  int window = 0;  // 0: one connection per record; else frames in flight
};

struct Shared {
  const Options& options;
  std::atomic<long> next{0};
  std::atomic<long> errors{0};
};

void usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [-n RECORDS] [-c CONNECTIONS] [-k access|system] "
               "[-s SOCKET] [-p PID] [-i IDLE] [-u USERS] [-S WINDOW]\n",
               program);
}

bool parse_options(int argc, char** argv, Options* o) {
  int c;
  while ((c = getopt(argc, argv, "n:c:k:s:p:i:u:S:")) != -1) {
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
      case 'i':
        o->idle = std::atoi(optarg);
        break;
      case 'u':
        o->users = std::atol(optarg);
        if (o->users < 1) return false;
        break;
      case 'S':
        o->window = std::atoi(optarg);
        if (o->window < 1) return false;
        break;
      default:
        return false;
    }
  }
  if (optind != argc || o->records < 0 || o->connections < 1 || o->idle < 0) {
    return false;
  }
  if (o->socket.empty()) {
    o->socket = quillo::socket_path(base::root_from_env());
  }
  return true;
}

// Record i: varied a little so that rows are not all alike; `users` as
// in Options.
quillo::RequestData make_record(bool access, long users, long i) {
  char a[64], b[64], c[64];
  if (access) {
    if (users > 0) {
      std::snprintf(a, sizeof a, "u%06ld", i % users);
    } else {
      std::snprintf(a, sizeof a, "User%02ld", i % 50);
    }
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

// Opens a session on `connection`; true when the daemon answered "open".
bool open_session(quillo::Connection& connection) {
  quillo::ResultData result;
  return connection.connect() == 0 &&
         connection.send(quillo::ReqSession()) == 0 &&
         connection.receive(result) == 0 &&
         result.code() == quillo::kResultSessionOpen;
}

// This thread's records on one session, `window` frames in flight at most.
void session_worker(Shared* shared, std::vector<uint64_t>* latencies) {
  const Options& o = shared->options;
  quillo::Connection connection(o.socket);
  connection.set_deadline(Clock::now() + kRequestBound);
  const bool open = open_session(connection);
  std::vector<Clock::time_point> sent;  // of the frames in flight, in order
  std::size_t answered = 0;
  bool failed = !open;
  for (;;) {
    while (!failed && sent.size() - answered <
                          static_cast<std::size_t>(o.window)) {
      const long i = shared->next.fetch_add(1);
      if (i >= o.records) break;
      sent.push_back(Clock::now());
      if (connection.send(make_record(o.access, o.users, i)) != 0) {
        failed = true;
      }
    }
    if (answered == sent.size()) break;
    quillo::ResultData result;
    connection.set_deadline(Clock::now() + kRequestBound);
    if (failed || connection.receive(result) != 0) {
      shared->errors.fetch_add(static_cast<long>(sent.size() - answered));
      // Without a session this thread's records are not sent at all.
      while (!open && shared->next.fetch_add(1) < o.records) {
        shared->errors.fetch_add(1);
      }
      return;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        Clock::now() - sent[answered++]);
    latencies->push_back(static_cast<uint64_t>(ns.count()));
    if (result.code() != 0) shared->errors.fetch_add(1);
  }
  // Every answer is in: closing ends the session.
}

void worker(Shared* shared, std::vector<uint64_t>* latencies) {
  const Options& o = shared->options;
  if (o.window > 0) {
    session_worker(shared, latencies);
    return;
  }
  for (;;) {
    const long i = shared->next.fetch_add(1);
    if (i >= o.records) return;
    const quillo::RequestData record = make_record(o.access, o.users, i);
    const auto start = Clock::now();
    const bool ok = send_one(o.socket, record);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        Clock::now() - start);
    latencies->push_back(static_cast<uint64_t>(ns.count()));
    if (!ok) shared->errors.fetch_add(1);
  }
}

// Peers that hold a connection to the daemon without ever completing a
// request. The even-numbered ones send nothing; the odd-numbered ones send
// the first byte of a frame's 2-byte length and stop there, the case of a
// client stalled halfway. A thread of their own waits on all of them and
// on a wake-up descriptor; when the daemon closes one (end of stream, hang
// up or error), it connects a new one in its place at once.
class IdlePeers final {
 public:
  IdlePeers(const std::string& socket, int count, unsigned char first_byte)
      : slots_(static_cast<std::size_t>(count)), first_byte_(first_byte) {
    address_.sun_family = AF_UNIX;
    // Zero-filled past the copy, so NUL-terminated; the same cut as the
    // measured connections make.
    socket.copy(address_.sun_path, sizeof(address_.sun_path) - 1);
  }
  ~IdlePeers() { stop(); }

  IdlePeers(const IdlePeers&) = delete;
  IdlePeers& operator=(const IdlePeers&) = delete;

  // Starts the thread, which opens the peers. False when the wake-up
  // descriptor cannot be had.
  bool start() {
    wake_.reset(::eventfd(0, EFD_CLOEXEC));
    if (!wake_) return false;
    thread_ = std::thread(&IdlePeers::run, this);
    return true;
  }

  // Waits until every peer is connected or `bound` has passed; returns
  // the number connected.
  int wait_open(std::chrono::milliseconds bound) const {
    const auto until = Clock::now() + bound;
    while (open_.load() < static_cast<int>(slots_.size()) &&
           Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return open_.load();
  }

  // From now on the fewest peers open at once and the drops are counted.
  void begin_measuring() {
    min_open_.store(open_.load());
    drops_at_begin_ = drops_.load();
    measuring_.store(true);
  }

  // Ends the thread and closes every peer. Safe to call twice.
  void stop() {
    if (thread_.joinable()) {
      const uint64_t one = 1;
      // An eventfd write of 8 bytes cannot be short; should it fail the
      // thread would never wake, so that is the one fatal case.
      if (::write(wake_.get(), &one, sizeof one) != sizeof one) std::abort();
      thread_.join();
    }
    slots_.clear();
  }

  // After stop(): the fewest peers open at once since begin_measuring(),
  // and how many the daemon closed in that time.
  int min_open() const { return min_open_.load(); }
  long drops() const { return drops_.load() - drops_at_begin_; }
  bool failed() const { return failed_.load(); }

 private:
  // Tries to connect peer `i`; the socket does not block, so a full listen
  // backlog is a refusal (EAGAIN) to try again later, not a wait.
  void open_one(std::size_t i) {
    base::UniqueFd fd(
        ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address_),
                  sizeof(address_)) != 0) {
      return;
    }
    if (i % 2 == 1 &&
        ::send(fd.get(), &first_byte_, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
      return;
    }
    slots_[i] = std::move(fd);
  }

  void run() {
    std::vector<pollfd> polled;
    std::vector<std::size_t> index;  // polled[k + 1] watches slots_[index[k]]
    for (;;) {
      int open = 0;
      for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i]) open_one(i);
        if (slots_[i]) ++open;
      }
      open_.store(open);
      if (measuring_.load()) {
        // Only this thread writes min_open_ once measuring has begun.
        min_open_.store(std::min(min_open_.load(), open));
      }

      polled.assign(1, pollfd{wake_.get(), POLLIN, 0});
      index.clear();
      for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i]) continue;
        polled.push_back(pollfd{slots_[i].get(), POLLIN, 0});
        index.push_back(i);
      }
      const int timeout =
          open < static_cast<int>(slots_.size()) ? kIdleRetryMs : -1;
      if (::poll(polled.data(), polled.size(), timeout) < 0) {
        if (errno == EINTR) continue;
        std::perror("quillo_load_gen: poll (idle peers)");
        failed_.store(true);
        return;
      }
      if (polled[0].revents != 0) return;  // stop()
      for (std::size_t k = 0; k < index.size(); ++k) {
        const short revents = polled[k + 1].revents;
        if (revents == 0) continue;
        base::UniqueFd& fd = slots_[index[k]];
        unsigned char buf[64];
        const ssize_t n = ::recv(fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        // The daemon has nothing to say to an incomplete request; should
        // it answer anyway, the peer stays (the end of stream follows).
        if (n > 0) continue;
        if (n < 0 && (errno == EAGAIN || errno == EINTR) &&
            (revents & (POLLHUP | POLLERR)) == 0) {
          continue;
        }
        fd.reset();
        drops_.fetch_add(1);
      }
    }
  }

  std::vector<base::UniqueFd> slots_;  // -1: to be (re)connected
  sockaddr_un address_{};
  const unsigned char first_byte_;
  base::UniqueFd wake_;
  std::thread thread_;
  std::atomic<int> open_{0};
  std::atomic<int> min_open_{0};
  std::atomic<bool> measuring_{false};
  std::atomic<long> drops_{0};
  long drops_at_begin_ = 0;
  std::atomic<bool> failed_{false};
};

// Makes sure `needed` descriptors may be open, raising the soft limit up
// to the hard one when it is lower. False, with a message, when even the
// hard limit is too low.
bool ensure_descriptors(int needed) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return true;  // try anyway
  const rlim_t want = static_cast<rlim_t>(needed);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < want) {
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < want) {
      std::fprintf(stderr,
                   "quillo_load_gen: %d descriptors needed, the hard limit "
                   "is %llu (raise ulimit -n)\n",
                   needed, static_cast<unsigned long long>(limit.rlim_max));
      return false;
    }
    limit.rlim_cur = want;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      std::perror("quillo_load_gen: setrlimit");
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_options(argc, argv, &o)) {
    usage(argv[0]);
    return 1;
  }
  if (o.idle > 0 &&
      !ensure_descriptors(o.idle + o.connections + kSpareDescriptors)) {
    return 1;
  }

  // The idle peers stand before the measured run begins and are closed
  // only after it; their first byte is that of a real record's frame.
  std::unique_ptr<IdlePeers> idle;
  if (o.idle > 0) {
    const unsigned short size = make_record(o.access, o.users, 0).size;
    idle = std::make_unique<IdlePeers>(o.socket, o.idle,
                                       static_cast<unsigned char>(size >> 8));
    if (!idle->start()) {
      std::perror("quillo_load_gen: eventfd");
      return 1;
    }
    const int open = idle->wait_open(kIdleOpenBound);
    if (open < o.idle) {
      std::fprintf(stderr,
                   "quillo_load_gen: %d of %d idle peers connected after "
                   "%lld s; starting anyway\n",
                   open, o.idle,
                   static_cast<long long>(kIdleOpenBound.count()));
    }
    idle->begin_measuring();
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
  int idle_min_open = 0;
  long idle_drops = 0;
  if (idle) {
    idle->stop();
    idle_min_open = idle->min_open();
    idle_drops = idle->drops();
    if (idle->failed()) {
      std::fprintf(stderr,
                   "quillo_load_gen: the idle peers were not kept up to "
                   "the end\n");
    }
  }

  std::vector<uint64_t> all;
  all.reserve(static_cast<std::size_t>(o.records));
  for (const auto& v : per_thread) all.insert(all.end(), v.begin(), v.end());
  const LatencySummary s = summarize_latencies(all);
  std::printf(
      "records=%ld conns=%d kind=%s errors=%ld seconds=%.3f rate=%.1f "
      "p50_us=%.1f p99_us=%.1f max_us=%.1f idle=%d idle_min_open=%d "
      "idle_drops=%ld",
      o.records, o.connections, o.access ? "access" : "system",
      shared.errors.load(), seconds,
      seconds > 0 ? static_cast<double>(o.records) / seconds : 0.0,
      static_cast<double>(s.p50_ns) / 1e3, static_cast<double>(s.p99_ns) / 1e3,
      static_cast<double>(s.max_ns) / 1e3, o.idle, idle_min_open, idle_drops);
  if (o.pid > 0) {
    std::printf(" rss_before_kb=%ld rss_after_kb=%ld", rss_before,
                read_vm_rss_kb(o.pid));
  }
  std::printf("\n");
  return 0;
}
