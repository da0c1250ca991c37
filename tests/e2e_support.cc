#include "tests/e2e_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/big_endian.h"
#include "protocol/packet.h"

namespace quillo_test {
namespace {

using Clock = std::chrono::steady_clock;

// Bound on every wait of the harness; generous for loaded CI machines.
constexpr std::chrono::seconds kWaitBound{20};

// Runs a child with QUILLO_ROOT set; standard output and error go to the
// given files. `open_files`, when not 0, becomes its descriptor limit.
// Returns the pid.
pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const std::string& root, const std::string& out_file,
            const std::string& err_file,
            const std::string& in_file = "/dev/null",
            unsigned open_files = 0) {
  std::vector<std::string> argv_storage = {program};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_storage) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (!root.empty()) setenv("QUILLO_ROOT", root.c_str(), 1);
  if (open_files != 0) {
    const rlimit limit{open_files, open_files};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
  }
  const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  const int null = open(in_file.c_str(), O_RDONLY);
  dup2(null, 0);
  dup2(out, 1);
  dup2(err, 2);
  execv(program.c_str(), argv.data());
  _exit(127);
}

int wait_status(pid_t pid, std::chrono::milliseconds bound) {
  const auto until = Clock::now() + bound;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (r < 0 || Clock::now() >= until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int connect_to(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether something accepts TCP connections on 127.0.0.1:`port`.
bool tcp_listens(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok =
      connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return ok;
}

// A loopback port nobody listens on now: bound with port 0, read, closed.
int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

std::vector<unsigned char> frame_of(const quillo::Packet& p) {
  std::vector<unsigned char> f(2 + p.size);
  base::put_be16(f.data(), p.size);
  std::copy_n(p.data.get(), p.size, f.begin() + 2);
  return f;
}

}  // namespace

const std::vector<unsigned char> kAcceptedAnswer = {0, 2, 0, 0};

std::string quillod_path() { return QUILLOD_PATH; }
std::string quillo_send_path() { return QUILLO_SEND_PATH; }

ApplianceTree::ApplianceTree() : tree_("quillo-e2e") {
  for (const char* d : {"tmp", "mnt/data/xmlconf", "mnt/data/conf/quillo",
                        "mnt/data/bin", "var/lock", "logs"}) {
    tree_.dir(d);
  }
  write_config(default_config_body());
}

void ApplianceTree::write_config(const std::string& body) const {
  write_file(config(),
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n" + body +
                 "</config>\n");
}

std::string ApplianceTree::default_config_body() const {
  return "  <share><path>" + log_root() +
         "</path></share>\n"
         "  <eventlogconf enable=\"true\"><autodelete enable=\"false\">"
         "<expire><days>30</days><percent>5</percent></expire>"
         "</autodelete></eventlogconf>\n"
         "  <accesslogconf enable=\"true\"><sharelist all=\"true\"/>"
         "<autodelete enable=\"false\"><expire><days>30</days>"
         "<percent>5</percent></expire></autodelete></accesslogconf>\n";
}

std::string ApplianceTree::alert_list(const std::string& name,
                                      const std::string& operation,
                                      const std::string& more) {
  return "<alertlist><alert><name>" + name +
         "</name><usernamelist all=\"true\"/>" + more +
         "<period><weekdays sun=\"true\" mon=\"true\" tue=\"true\" "
         "wed=\"true\" thu=\"true\" fri=\"true\" sat=\"true\"/></period>"
         "<operationlist><operation type=\"" +
         operation + "\" enable=\"true\"/></operationlist></alert></alertlist>";
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<std::string> list_files(const std::string& dir) {
  std::vector<std::string> out;
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    const std::string rel = pending.back();
    pending.pop_back();
    DIR* d = opendir((dir + "/" + rel).c_str());
    if (d == nullptr) continue;
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = rel.empty() ? name : rel + "/" + name;
      struct stat st {};
      if (stat((dir + "/" + child).c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        pending.push_back(child);
      } else {
        out.push_back(child);
      }
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

Daemon::Daemon(const ApplianceTree& tree, const std::vector<std::string>& args,
               unsigned open_files)
    : tree_(tree) {
  pid_ = spawn(quillod_path(), args, tree.root(), tree.path("quillod.out"),
               tree.path("quillod.err"), "/dev/null", open_files);
}

Daemon::~Daemon() {
  if (pid_ > 0 && wait_exit(std::chrono::milliseconds(0)) == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Daemon::wait_ready() const {
  const auto until = Clock::now() + kWaitBound;
  while (Clock::now() < until) {
    const int fd = connect_to(tree_.socket());
    if (fd >= 0) {
      // An empty frame is answered with nothing and leaves no trace but a
      // console line, so probing does not disturb the tests.
      close(fd);
      return true;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

int Daemon::wait_exit(std::chrono::milliseconds bound) {
  if (pid_ <= 0) return -1;
  const int status = wait_status(pid_, bound);
  if (status != -1) pid_ = -1;
  return status;
}

void Daemon::signal(int sig) const { kill(pid_, sig); }

std::string Daemon::out() const { return read_file(tree_.path("quillod.out")); }
std::string Daemon::err() const { return read_file(tree_.path("quillod.err")); }

std::map<std::string, std::uint64_t> Daemon::counters() const {
  const std::string stats = tree_.state_dir() + "/quillod.stats";
  unlink(stats.c_str());
  signal(SIGUSR1);
  std::map<std::string, std::uint64_t> out;
  const auto until = Clock::now() + kWaitBound;
  std::string text;
  while (text.empty() && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    text = read_file(stats);
  }
  std::istringstream lines(text);
  std::string name;
  std::uint64_t value = 0;
  while (lines >> name >> value) out[name] = value;
  return out;
}

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& root, const std::string& input) {
  char out_tmpl[] = "/tmp/quillo-run-out-XXXXXX";
  char err_tmpl[] = "/tmp/quillo-run-err-XXXXXX";
  char in_tmpl[] = "/tmp/quillo-run-in-XXXXXX";
  close(mkstemp(out_tmpl));
  close(mkstemp(err_tmpl));
  close(mkstemp(in_tmpl));
  write_file(in_tmpl, input);
  const pid_t pid = spawn(program, args, root, out_tmpl, err_tmpl, in_tmpl);
  RunResult r;
  r.status =
      wait_status(pid, std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::seconds(60)));
  if (r.status == -1) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  r.out = read_file(out_tmpl);
  r.err = read_file(err_tmpl);
  unlink(out_tmpl);
  unlink(err_tmpl);
  unlink(in_tmpl);
  return r;
}

RunResult run_client(const ApplianceTree& tree,
                     const std::vector<std::string>& args,
                     const std::string& input) {
  return run(quillo_send_path(), args, tree.root(), input);
}

RawClient::RawClient(const ApplianceTree& tree)
    : fd_(connect_to(tree.socket())) {}

RawClient::~RawClient() {
  if (fd_ >= 0) close(fd_);
}

void RawClient::send(const std::vector<unsigned char>& bytes) const {
  if (bytes.empty()) return;
  if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("short send");
  }
}

void RawClient::shutdown_write() const { ::shutdown(fd_, SHUT_WR); }

std::vector<unsigned char> RawClient::read_until_close() const {
  std::vector<unsigned char> out;
  const auto until = Clock::now() + kWaitBound;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - Clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      throw std::runtime_error("daemon kept the connection open");
    }
    unsigned char buf[256];
    const ssize_t n = read(fd_, buf, sizeof(buf));
    if (n <= 0) return out;
    out.insert(out.end(), buf, buf + n);
  }
}

std::vector<unsigned char> RawClient::read_bytes(std::size_t n) const {
  std::vector<unsigned char> out;
  const auto until = Clock::now() + kWaitBound;
  while (out.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - Clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    unsigned char buf[4096];
    const ssize_t got = read(fd_, buf, std::min(sizeof(buf), n - out.size()));
    if (got <= 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

pid_t RawClient::peer_pid() const {
  ucred cred{};
  socklen_t len = sizeof(cred);
  if (getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return -1;
  return cred.pid;
}

std::vector<unsigned char> system_frame(const char* time, const char* t1,
                                        const char* t2, const char* t3) {
  return frame_of(quillo::ReqSystemLog(time, t1, t2, t3));
}

std::vector<unsigned char> session_request_frame() {
  return frame_of(quillo::ReqSession());
}

std::vector<unsigned char> answer_frames(const std::vector<int>& codes) {
  std::vector<unsigned char> out;
  for (int code : codes) {
    const std::vector<unsigned char> one =
        frame_of(quillo::ResultData(static_cast<std::uint16_t>(code)));
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

std::vector<unsigned char> access_frame(const char* user, const char* host,
                                        const char* ip, const char* op,
                                        int result, int error_number,
                                        const char* share, const char* path) {
  return frame_of(quillo::ReqAccessLog(user, host, ip, op, result,
                                       static_cast<std::uint16_t>(error_number),
                                       share, path));
}

pid_t start_program(const std::string& program,
                    const std::vector<std::string>& args,
                    const std::string& root, const std::string& in_file,
                    const std::string& out_file) {
  return spawn(program, args, root, out_file, out_file, in_file);
}

int wait_for_exit(pid_t pid, std::chrono::milliseconds bound) {
  return wait_status(pid, bound);
}

std::vector<std::string> csv_rows(const ApplianceTree& tree,
                                  const std::string& kind) {
  std::vector<std::string> rows;
  for (const std::string& f : list_files(tree.log_root() + "/" + kind)) {
    std::string text = read_file(tree.log_root() + "/" + kind + "/" + f);
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    for (std::size_t start = 0, end;
         (end = text.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
      rows.push_back(text.substr(start, end - start));
    }
  }
  return rows;
}

std::string msg_of(const std::string& message) {
  const std::size_t end = message.find("\"] ");
  return end == std::string::npos ? "" : message.substr(end + 3);
}

Arrival arrival_of(const std::vector<std::string>& messages,
                   const std::vector<std::string>& rows) {
  std::set<std::string> arrived;
  for (const std::string& m : messages) arrived.insert(msg_of(m));
  Arrival a;
  a.distinct = arrived.size();
  for (const std::string& row : rows) a.missing += arrived.count(row) == 0;
  return a;
}

std::string fields_input(int from, int to, const std::string& tag,
                         const std::string& pad) {
  std::string input;
  for (int i = from; i < to; ++i) {
    char text[32];
    std::snprintf(text, sizeof(text), "%s%05d", tag.c_str(), i);
    input += "system\t1796635815\t" + std::string(text) + "\t" + pad + "\tz\n";
  }
  return input;
}

Collector::Collector(std::string dir, CollectorOptions options)
    : dir_(std::move(dir)), options_(std::move(options)) {
  mkdir(dir_.c_str(), 0755);
}

Collector::~Collector() { stop(); }

std::string Collector::program() {
  for (const char* p : {"/usr/sbin/rsyslogd", "/sbin/rsyslogd"}) {
    if (access(p, X_OK) == 0) return p;
  }
  return "";
}

bool Collector::has_module(const std::string& name) {
  for (const char* d : {"/usr/lib/x86_64-linux-gnu/rsyslog/",
                        "/usr/lib/rsyslog/", "/usr/lib64/rsyslog/"}) {
    if (access((d + name + ".so").c_str(), R_OK) == 0) return true;
  }
  return false;
}

std::string Collector::input_config(int port) const {
  const CollectorOptions& o = options_;
  const std::string common = " address=\"127.0.0.1\" port=\"" +
                             std::to_string(port) + "\" ruleset=\"collect\"";
  const std::string peer = "[\"" + o.permitted_peer + "\"]";
  if (o.relp) {
    std::string in = "module(load=\"imrelp\")\ninput(type=\"imrelp\"" + common;
    if (o.tls) {
      in += " tls=\"on\" tls.caCert=\"" + o.ca_file + "\" tls.myCert=\"" +
            o.cert_file + "\" tls.myPrivKey=\"" + o.key_file +
            "\" tls.authMode=\"name\" tls.permittedPeer=" + peer;
    }
    return in + ")\n";
  }
  std::string in = "module(load=\"imtcp\")\ninput(type=\"imtcp\"" + common +
                   " listenPortFileName=\"" + dir_ + "/port\"";
  if (o.tls) {
    in +=
        " streamDriver.name=\"gtls\" streamDriver.mode=\"1\""
        " streamDriver.authMode=\"x509/name\" permittedPeer=" +
        peer + " streamDriver.CAFile=\"" + o.ca_file +
        "\" streamDriver.CertFile=\"" + o.cert_file +
        "\" streamDriver.KeyFile=\"" + o.key_file + "\"";
  }
  return in + ")\n";
}

bool Collector::start(int port) {
  const std::string port_file = dir_ + "/port";
  unlink(port_file.c_str());
  // imrelp cannot report a port it picked: a free one is picked here.
  if (port == 0 && options_.relp) port = free_port();
  // The exact bytes of each message: no escaping on receipt, %rawmsg% as
  // it came (without the octet count of its frame).
  write_file(dir_ + "/rsyslog.conf",
             "global(workDirectory=\"" + dir_ +
                 "\" processInternalMessages=\"on\"\n"
                 "       parser.escapeControlCharactersOnReceive=\"off\")\n" +
                 (options_.relp ? "main_queue(queue.type=\"Direct\")\n" : "") +
                 "template(name=\"raw\" type=\"string\" "
                 "string=\"%rawmsg%\\n\")\n"
                 "ruleset(name=\"collect\") {\n"
                 "  action(type=\"omfile\" file=\"" +
                 received_path() + "\" template=\"raw\")\n}\n" +
                 input_config(port) + "*.* action(type=\"omfile\" file=\"" +
                 dir_ + "/internal.log\")\n");
  unlink((dir_ + "/rsyslogd.pid").c_str());
  pid_ =
      spawn(program(),
            {"-n", "-f", dir_ + "/rsyslog.conf", "-i", dir_ + "/rsyslogd.pid"},
            "", dir_ + "/rsyslogd.out", dir_ + "/rsyslogd.out");
  const auto until = Clock::now() + kWaitBound;
  while (Clock::now() < until) {
    // rsyslogd writes the port file only for a port it was not given: a
    // given one is probed instead.
    if (port != 0 && tcp_listens(port)) {
      port_ = port;
      return true;
    }
    const std::string text = read_file(port_file);
    if (!text.empty() &&
        text.find_first_not_of("0123456789\n") == std::string::npos) {
      port_ = std::atoi(text.c_str());
      if (port_ > 0) return true;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void Collector::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void Collector::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (wait_status(pid_, std::chrono::duration_cast<std::chrono::milliseconds>(
                            kWaitBound)) == -1) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

std::vector<std::string> Collector::lines() const {
  std::vector<std::string> out;
  const std::string text = read_file(received_path());
  // A line still being written has no line end yet: left for the next look.
  for (std::size_t start = 0, end;
       (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    out.push_back(text.substr(start, end - start));
  }
  return out;
}

std::vector<std::string> Collector::wait_lines(
    std::size_t n, std::chrono::seconds bound) const {
  const auto until = Clock::now() + bound;
  std::vector<std::string> got = lines();
  while (got.size() < n && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    got = lines();
  }
  return got;
}

std::string TestPki::certtool() {
  for (const char* p : {"/usr/bin/certtool", "/bin/certtool"}) {
    if (access(p, X_OK) == 0) return p;
  }
  return "";
}

TestPki::TestPki(const std::string& dir) {
  mkdir(dir.c_str(), 0700);
  const auto tool = [&](const std::vector<std::string>& args) {
    const RunResult r = run(certtool(), args, "");
    if (r.status != 0 && error.empty()) error = "certtool: " + r.err;
    return r.status == 0;
  };
  // Makes <name>.key and <name>.pem, signed by the CA unless it is the CA.
  const auto make = [&](const std::string& name, const std::string& attrs) {
    const std::string base = dir + "/" + name;
    write_file(base + ".tmpl", attrs + "expiration_days = 2\n");
    if (!tool({"--generate-privkey", "--sec-param", "medium", "--outfile",
               base + ".key"})) {
      return false;
    }
    if (name == "ca") {
      return tool({"--generate-self-signed", "--load-privkey", base + ".key",
                   "--template", base + ".tmpl", "--outfile", base + ".pem"});
    }
    return tool({"--generate-certificate", "--load-privkey", base + ".key",
                 "--load-ca-certificate", dir + "/ca.pem", "--load-ca-privkey",
                 dir + "/ca.key", "--template", base + ".tmpl", "--outfile",
                 base + ".pem"});
  };
  ok = make("ca", "cn = \"quillo test CA\"\nca\ncert_signing_key\n") &&
       make("collector",
            "cn = \"collector.test\"\ndns_name = \"collector.test\"\n"
            "tls_www_server\nsigning_key\nencryption_key\n") &&
       make("client",
            "cn = \"appliance.test\"\ndns_name = \"appliance.test\"\n"
            "tls_www_client\nsigning_key\nencryption_key\n");
  ca = dir + "/ca.pem";
  collector_cert = dir + "/collector.pem";
  collector_key = dir + "/collector.key";
  client_cert = dir + "/client.pem";
  client_key = dir + "/client.key";
}

}  // namespace quillo_test
