// quillo_threshold_probe: how long after the row that reaches a threshold
// the condition's response starts, measured once per firing.
//
//   quillo_threshold_probe -s SOCKET -d STAMPS [-f FIRINGS] [-r ROWS]
//                          [-S SHARE] [-x PREFIX] [-w WAIT]
//
// For each of FIRINGS (20) users PREFIX000, PREFIX001... (PREFIX "fire")
// in turn it sends ROWS (10) access records of that user (open_read on
// SHARE, "vault"), one connection each and one after the other, and takes
// CLOCK_REALTIME when the answer to the last one has come. Then it waits
// (at most WAIT s, 10) for the response's stamp: the first line of
// STAMPS/<user>, as quillo_threshold_stamp writes it, whose first field is
// the CLOCK_REALTIME the response read first thing. The latency is the
// stamp less the answer time; it is negative when the response started
// before the answer came (the daemon counts a row before it answers). The
// stamp less the time just before the last record was sent is given too:
// never negative, it includes the daemon's handling of that record. Only
// then does the next user begin, so each firing finds the daemon with no
// other firing under way.
//
// Prints one line per firing and a summary line, e.g.
//   firing user=fire000 latency_ms=3.412 from_send_ms=3.501 batch_rows=10
//   count=10
//   firings=20 fired=20 missed=0 errors=0 median_ms=3.1 p99_ms=7.9
//   min_ms=2.2 max_ms=7.9 send_median_ms=3.2 send_p99_ms=8.0
// (over the firings that stamped; p99 is the nearest rank, which for
// fewer than 100 firings is the largest; missed: no stamp within WAIT;
// errors: records not answered with code 0). Exit status 0, or 1 on a
// command-line error.

#include <getopt.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/connection.h"
#include "protocol/packet.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kRequestBound{10};
constexpr std::chrono::milliseconds kStampPoll{1};

struct Options {
  std::string socket;
  std::string stamps;
  int firings = 20;
  int rows = 10;
  std::string share = "vault";
  std::string prefix = "fire";
  int wait_seconds = 10;
};

void usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s -s SOCKET -d STAMPS [-f FIRINGS] [-r ROWS] "
               "[-S SHARE] [-x PREFIX] [-w WAIT]\n",
               program);
}

bool parse_options(int argc, char** argv, Options* o) {
  int c;
  while ((c = getopt(argc, argv, "s:d:f:r:S:x:w:")) != -1) {
    switch (c) {
      case 's':
        o->socket = optarg;
        break;
      case 'd':
        o->stamps = optarg;
        break;
      case 'f':
        o->firings = std::atoi(optarg);
        break;
      case 'r':
        o->rows = std::atoi(optarg);
        break;
      case 'S':
        o->share = optarg;
        break;
      case 'x':
        o->prefix = optarg;
        break;
      case 'w':
        o->wait_seconds = std::atoi(optarg);
        break;
      default:
        return false;
    }
  }
  return optind == argc && !o->socket.empty() && !o->stamps.empty() &&
         o->firings >= 1 && o->firings <= 1000 && o->rows >= 1 &&
         o->wait_seconds >= 1;
}

// One record over one connection. True when the answer was code 0.
bool send_one(const std::string& socket, const quillo::RequestData& record) {
  quillo::Connection connection(socket);
  connection.set_deadline(Clock::now() + kRequestBound);
  quillo::ResultData result;
  return connection.connect() == 0 && connection.send(record) == 0 &&
         connection.receive(result) == 0 && result.code() == 0;
}

struct Stamp {
  timespec started{};
  long rows = 0;
  std::string count;
};

// The first whole line of `path`, parsed; false while there is none.
bool read_stamp(const std::string& path, Stamp* stamp) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line) || in.eof()) return false;  // no '\n' yet
  std::istringstream fields(line);
  std::string when, name, per, key, window;
  if (!(fields >> when >> stamp->rows >> name >> per >> key >> stamp->count >>
        window)) {
    return false;
  }
  const std::size_t dot = when.find('.');
  if (dot == std::string::npos) return false;
  stamp->started.tv_sec = std::atoll(when.substr(0, dot).c_str());
  stamp->started.tv_nsec = std::atol(when.substr(dot + 1).c_str());
  return true;
}

double ms_between(const timespec& from, const timespec& to) {
  return static_cast<double>(to.tv_sec - from.tv_sec) * 1e3 +
         static_cast<double>(to.tv_nsec - from.tv_nsec) / 1e6;
}

// The middle of a sorted, non-empty vector (the mean of the two middle
// values when their number is even).
double median(const std::vector<double>& sorted) {
  const std::size_t n = sorted.size();
  return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

// Nearest rank of a sorted, non-empty vector.
double percentile(const std::vector<double>& sorted, double p) {
  const auto rank = static_cast<std::size_t>(
      std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_options(argc, argv, &o)) {
    usage(argv[0]);
    return 1;
  }
  std::vector<double> latencies, from_sends;
  long errors = 0;
  int missed = 0;
  for (int k = 0; k < o.firings; ++k) {
    char user[64];
    std::snprintf(user, sizeof user, "%s%03d", o.prefix.c_str(), k);
    timespec sent{}, answered{};
    for (int j = 0; j < o.rows; ++j) {
      char path[128];
      std::snprintf(path, sizeof path, "r|vault/%s/doc_%d.txt", user, j);
      const quillo::ReqAccessLog record(user, "pc-probe", "192.0.2.99", "open",
                                        1, 0, o.share.c_str(), path);
      clock_gettime(CLOCK_REALTIME, &sent);
      if (!send_one(o.socket, record)) ++errors;
      clock_gettime(CLOCK_REALTIME, &answered);
    }
    const std::string stamp_path = o.stamps + "/" + user;
    const auto until = Clock::now() + std::chrono::seconds(o.wait_seconds);
    Stamp stamp;
    bool stamped = false;
    while (!(stamped = read_stamp(stamp_path, &stamp)) &&
           Clock::now() < until) {
      std::this_thread::sleep_for(kStampPoll);
    }
    if (!stamped) {
      ++missed;
      std::printf("firing user=%s missed\n", user);
      continue;
    }
    const double ms = ms_between(answered, stamp.started);
    const double from_send = ms_between(sent, stamp.started);
    latencies.push_back(ms);
    from_sends.push_back(from_send);
    std::printf(
        "firing user=%s latency_ms=%.3f from_send_ms=%.3f batch_rows=%ld "
        "count=%s\n",
        user, ms, from_send, stamp.rows, stamp.count.c_str());
  }
  std::sort(latencies.begin(), latencies.end());
  std::sort(from_sends.begin(), from_sends.end());
  std::printf("firings=%d fired=%zu missed=%d errors=%ld", o.firings,
              latencies.size(), missed, errors);
  if (!latencies.empty()) {
    std::printf(" median_ms=%.3f p99_ms=%.3f min_ms=%.3f max_ms=%.3f",
                median(latencies), percentile(latencies, 0.99),
                latencies.front(), latencies.back());
    std::printf(" send_median_ms=%.3f send_p99_ms=%.3f", median(from_sends),
                percentile(from_sends, 0.99));
  }
  std::printf("\n");
  return 0;
}
