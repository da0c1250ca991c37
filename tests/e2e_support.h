// Test harness for the end-to-end tests: a private appliance tree under a
// temporary QUILLO_ROOT, the real quillod running on it, the real
// quillo-send, and raw frames over the real socket.

#ifndef QUILLO_TESTS_E2E_SUPPORT_H_
#define QUILLO_TESTS_E2E_SUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "testing/temp_tree.h"

namespace quillo_test {

// A temporary appliance tree, removed with everything in it on
// destruction. The log root is <root>/logs.
class ApplianceTree {
 public:
  ApplianceTree();

  const std::string& root() const { return tree_.path(); }
  std::string path(const std::string& relative) const {
    return tree_.file(relative);
  }
  std::string socket() const { return path("tmp/quillo"); }
  std::string config() const {
    return path("mnt/data/xmlconf/config-quillo.xml");
  }
  std::string log_root() const { return path("logs"); }
  std::string state_dir() const { return path("mnt/data/conf/quillo"); }

  // Writes the daemon's configuration; `body` goes inside the root element.
  void write_config(const std::string& body) const;
  // A configuration with both logs on for every share, no alerts.
  std::string default_config_body() const;
  // An alert list of one condition `name` that matches, at any time, every
  // user's `operation` (operation column), plus `more` inside the
  // condition (a share name, for example).
  static std::string alert_list(const std::string& name,
                                const std::string& operation,
                                const std::string& more = "");

 private:
  TempTree tree_;
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
// Every regular file below `dir`, relative to it, sorted.
std::vector<std::string> list_files(const std::string& dir);

// The real quillod on a tree, in the foreground; standard output and
// error go to files in the tree. Stopped with SIGTERM on destruction.
class Daemon {
 public:
  // `open_files`, when not 0, is the daemon's descriptor limit
  // (RLIMIT_NOFILE, soft and hard), set in the child before exec.
  explicit Daemon(const ApplianceTree& tree,
                  const std::vector<std::string>& args = {},
                  unsigned open_files = 0);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Waits (bounded) until the socket accepts a connection.
  bool wait_ready() const;
  // Waits (bounded) for the process to end; returns its exit status, or
  // -1 if it is still running.
  int wait_exit(std::chrono::milliseconds bound);
  void signal(int sig) const;
  pid_t pid() const { return pid_; }
  std::string out() const;
  std::string err() const;
  // The daemon's counters after SIGUSR1 (its "quillod.stats"), waited for
  // with a bound; empty when they did not come.
  std::map<std::string, std::uint64_t> counters() const;

 private:
  const ApplianceTree& tree_;
  pid_t pid_ = -1;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs a program with QUILLO_ROOT set to `root` (unless empty) and
// `input` on its standard input, and waits for it, with a bound.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& root, const std::string& input = "");
RunResult run_client(const ApplianceTree& tree,
                     const std::vector<std::string>& args,
                     const std::string& input = "");

// A raw client connection to the daemon's socket.
class RawClient {
 public:
  explicit RawClient(const ApplianceTree& tree);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  void send(const std::vector<unsigned char>& bytes) const;
  void shutdown_write() const;
  // Everything the daemon sends until it closes the connection.
  std::vector<unsigned char> read_until_close() const;
  // What the daemon sends until `n` bytes came, it closed the connection
  // or the harness's bound passed, whichever is first.
  std::vector<unsigned char> read_bytes(std::size_t n) const;
  // The process id of the daemon behind the socket.
  pid_t peer_pid() const;

 private:
  int fd_ = -1;
};

// A well-formed frame (length and body) of a record built by the protocol
// classes.
std::vector<unsigned char> system_frame(const char* time, const char* t1,
                                        const char* t2, const char* t3);
std::vector<unsigned char> access_frame(const char* user, const char* host,
                                        const char* ip, const char* op,
                                        int result, int error_number,
                                        const char* share, const char* path);

extern const std::vector<unsigned char> kAcceptedAnswer;

// The session request of version 1 (a whole frame), and the answers to a
// session's frames: the frames of `codes`, in order.
std::vector<unsigned char> session_request_frame();
std::vector<unsigned char> answer_frames(const std::vector<int>& codes);

std::string quillod_path();
std::string quillo_send_path();

// Starts `program` with QUILLO_ROOT set to `root`, standard input from
// `in_file` and its output appended to `out_file`; returns its pid. The
// caller waits for it (wait_for_exit).
pid_t start_program(const std::string& program,
                    const std::vector<std::string>& args,
                    const std::string& root, const std::string& in_file,
                    const std::string& out_file);
// The exit status of `pid` (or 128 + signal), waited for with a bound; -1
// when it still runs.
int wait_for_exit(pid_t pid, std::chrono::milliseconds bound);

// The rows of every log file of `kind` ("systemlog"...), without the byte
// order mark and line ends, in file order.
std::vector<std::string> csv_rows(const ApplianceTree& tree,
                                  const std::string& kind);
// The MSG part of a message a collector received: what follows the
// structured data.
std::string msg_of(const std::string& message);
// How the messages a collector received cover `rows`: rows among none of
// them, and distinct MSG parts (fewer than messages when some came twice).
struct Arrival {
  std::size_t missing = 0;
  std::size_t distinct = 0;
};
Arrival arrival_of(const std::vector<std::string>& messages,
                   const std::vector<std::string>& rows);
// quillo-send --stream input: system rows from..to-1 with text1 `tag`
// and the number, text2 `pad`.
std::string fields_input(int from, int to, const std::string& tag,
                         const std::string& pad = "");

// How a Collector listens. The default is plain imtcp.
struct CollectorOptions {
  bool relp = false;  // imrelp instead of imtcp
  bool tls = false;
  std::string ca_file;    // with tls: the CA both sides' certificates are from
  std::string cert_file;  // the collector's own certificate and key
  std::string key_file;
  std::string permitted_peer;  // the one client name let in
};

// A private rsyslogd as the site's collector: its own configuration, work
// directory and pid file in `dir`, internal messages processed
// (internal.log), imtcp (or imrelp) on 127.0.0.1 with a port of its own,
// control characters kept, and each message it receives written as
// received (%rawmsg%) on a line of received(). A RELP collector runs a
// direct main queue: it acknowledges a message only once it is written.
// Stopped on destruction.
class Collector {
 public:
  explicit Collector(std::string dir, CollectorOptions options = {});
  ~Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  // The rsyslogd program, or empty when it is not installed.
  static std::string program();
  // Whether rsyslog's module `name` ("imrelp", "lmnsd_gtls") is installed.
  static bool has_module(const std::string& name);

  // Starts it on `port` (0: a free one) and waits, bounded, until it
  // listens. Returns false when it did not come up.
  bool start(int port = 0);
  // Ends it with SIGTERM and waits for it.
  void stop();
  // Ends it with SIGKILL, as a crash would, and reaps it.
  void kill();
  int port() const { return port_; }
  std::string received_path() const { return dir_ + "/received.log"; }
  std::string internal_log() const { return read_file(dir_ + "/internal.log"); }
  // The received messages, one per line.
  std::vector<std::string> lines() const;
  // Waits, bounded, until at least `n` messages arrived; returns them.
  std::vector<std::string> wait_lines(std::size_t n,
                                      std::chrono::seconds bound) const;

 private:
  std::string input_config(int port) const;

  const std::string dir_;
  const CollectorOptions options_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// Certificates for TLS tests, made with certtool in `dir`: a CA, the
// collector's ("collector.test", server use) and the appliance's
// ("appliance.test", client use), each with its key. ok is false (and
// error says why) when certtool failed.
struct TestPki {
  explicit TestPki(const std::string& dir);
  // The certtool program, or empty when it is not installed.
  static std::string certtool();

  bool ok = false;
  std::string error;
  std::string ca;
  std::string collector_cert, collector_key;
  std::string client_cert, client_key;
};

}  // namespace quillo_test

#endif  // QUILLO_TESTS_E2E_SUPPORT_H_
