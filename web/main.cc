// quillo-web: a read-only web view of the log tree (web/web_api.h) for
// whoever holds the token (web/web_access.h).
//
//   quillo-web [--listen HOST:PORT] [--root DIR] [--token-file FILE]
//              [--tls-cert FILE --tls-key FILE]
//
// Default --listen 127.0.0.1:8740; the log root and QUILLO_ROOT as
// quillo-query takes them. Exit status 2 with a message for a bad option,
// an address that cannot be used, or an address other than loopback
// without TLS. For tests, QUILLO_WEB_TIMEOUT_SECONDS (a whole number > 0)
// replaces the 30 s after which a connection without traffic is closed.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/local_fields.h"
#include "base/root_dir.h"
#include "query/query_options.h"
#include "paths/appliance_paths.h"
#include "web/web_access.h"
#include "web/web_api.h"
#include "web/web_server.h"

namespace quillo {
namespace {

struct WebOptions {
  std::string listen = "127.0.0.1:8740";
  std::string root;
  std::string token_file;
  std::string tls_cert;
  std::string tls_key;
};

const char kUsage[] =
    "usage: quillo-web [--listen HOST:PORT] [--root DIR] [--token-file FILE]\n"
    "                  [--tls-cert FILE --tls-key FILE]\n";

WebOptions parse_options(const std::vector<std::string>& args) {
  WebOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    const std::size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      throw std::invalid_argument(name + " needs a value");
    }
    if (value.empty()) throw std::invalid_argument(name + " needs a value");
    if (name == "--listen") {
      o.listen = value;
    } else if (name == "--root") {
      o.root = value;
    } else if (name == "--token-file") {
      o.token_file = value;
    } else if (name == "--tls-cert") {
      o.tls_cert = value;
    } else if (name == "--tls-key") {
      o.tls_key = value;
    } else {
      throw std::invalid_argument("unknown option " + name);
    }
  }
  if (o.tls_cert.empty() != o.tls_key.empty()) {
    throw std::invalid_argument("--tls-cert and --tls-key go together");
  }
  return o;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::invalid_argument("cannot read " + path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// HOST:PORT (an IPv6 host in brackets) as a socket address; raises for one
// that is not, and for a host that is not loopback without TLS.
WebListen listen_address(const WebOptions& o) {
  WebListen l;
  l.text = o.listen;
  const std::size_t colon = o.listen.rfind(':');
  if (colon == std::string::npos) throw std::invalid_argument("--listen takes HOST:PORT");
  std::string host = o.listen.substr(0, colon);
  const std::string port_text = o.listen.substr(colon + 1);
  char* end = nullptr;
  const long port = std::strtol(port_text.c_str(), &end, 10);
  if (port_text.empty() || *end != '\0' || port < 0 || port > 65535) {
    throw std::invalid_argument("--listen: bad port " + port_text);
  }
  bool loopback = false;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&l.address);
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(),
                  &a6->sin6_addr) != 1) {
      throw std::invalid_argument("--listen: bad address " + host);
    }
    loopback = IN6_IS_ADDR_LOOPBACK(&a6->sin6_addr);
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&l.address);
    a4->sin_family = AF_INET;
    a4->sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &a4->sin_addr) != 1) {
      throw std::invalid_argument("--listen: bad address " + host);
    }
    loopback = (ntohl(a4->sin_addr.s_addr) >> 24) == 127;
  }
  // Read before the server's threads start.
  if (const char* text = std::getenv("QUILLO_WEB_TIMEOUT_SECONDS")) {
    const long seconds = std::atol(text);
    if (seconds > 0) l.timeout_seconds = static_cast<unsigned>(seconds);
  }
  if (!o.tls_cert.empty()) {
    l.tls_cert = read_text(o.tls_cert);
    l.tls_key = read_text(o.tls_key);
  } else if (!loopback) {
    throw std::invalid_argument("--listen " + o.listen +
                                " is not loopback: give --tls-cert and --tls-key");
  }
  return l;
}

int run(const std::vector<std::string>& args) {
  const WebOptions options = parse_options(args);
  const WebListen listen = listen_address(options);
  const AppliancePaths paths = MakePaths(base::root_from_env());
  const std::string root =
      options.root.empty() ? configured_log_root() : options.root;
  const std::string token_file =
      options.token_file.empty() ? paths.state_dir + "/web.token"
                                 : options.token_file;
  std::string error;
  const std::optional<std::string> token = load_or_make_token(token_file, &error);
  if (!token) {
    base::complain("Error: " + error + "\n");
    return 2;
  }
  const WebApi api(root, paths.state_dir + "/quillod.stats");
  const WebAccess access(*token);
  // Blocked before the server's threads start, so that they inherit it
  // and only this thread takes the stop.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  WebServer server(api, access);
  if (!server.start(listen)) {
    base::complain("Error: cannot listen on " + listen.text + "\n");
    return 2;
  }
  base::say("quillo-web: listening on port " + std::to_string(server.port()) +
            "; token in " + token_file + "\n");
  // The server's threads do the work; this one waits for the end.
  int signo = 0;
  sigwait(&stop, &signo);
  return 0;
}

}  // namespace
}  // namespace quillo

int main(int argc, char** argv) {
  base::reload_time_zone();
  // A client that goes away makes only its own answer fail.
  signal(SIGPIPE, SIG_IGN);
  try {
    return quillo::run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::invalid_argument& e) {
    base::complain(std::string("quillo-web: ") + e.what() + "\n" +
                   quillo::kUsage);
    return 2;
  } catch (...) {
    base::complain_current_exception();
    return 2;
  }
}
