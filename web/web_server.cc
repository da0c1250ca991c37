#include "web/web_server.h"

#include <microhttpd.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "web/web_assets.h"
#include "web/shared_answers.h"
#include "web/web_follow.h"

namespace quillo {
namespace {

constexpr std::size_t kMaxHeaderMemory = 64 * 1024;

// A request being read: made at libmicrohttpd's first call, which brings
// the headers only, so that the answer comes once the request is whole and
// the connection can be kept for the next one.
struct RequestState {
  std::string body;  // POST /login's
  bool too_long = false;
};

void add_headers(MHD_Response* response, const WebAnswer& answer) {
  MHD_add_response_header(response, "Content-Type", answer.content_type.c_str());
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Content-Security-Policy",
                          "default-src 'self'; frame-ancestors 'none'");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  MHD_add_response_header(response, "Cache-Control", "no-store");
  if (!answer.next.empty()) {
    const std::string link = "<?after=" + answer.next + ">; rel=\"next\"";
    MHD_add_response_header(response, "Link", link.c_str());
  }
  for (const auto& [name, value] : answer.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
}

MHD_Result send(MHD_Connection* connection, MHD_Response* response,
                const WebAnswer& answer) {
  if (response == nullptr) return MHD_NO;
  add_headers(response, answer);
  const MHD_Result result = MHD_queue_response(
      connection, static_cast<unsigned>(answer.status), response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result queue(MHD_Connection* connection, const WebAnswer& answer) {
  return send(connection,
              MHD_create_response_from_buffer(
                  answer.body.size(), const_cast<char*>(answer.body.data()),
                  MHD_RESPMEM_MUST_COPY),
              answer);
}

// A follow's stream, and the count of follows it holds one of.
struct FollowSlot {
  FollowSlot(std::unique_ptr<FollowStream> s, std::atomic<int>* c)
      : stream(std::move(s)), count(c) {}
  ~FollowSlot() { --*count; }
  FollowSlot(const FollowSlot&) = delete;
  FollowSlot& operator=(const FollowSlot&) = delete;
  std::unique_ptr<FollowStream> stream;
  std::atomic<int>* count;
};

ssize_t read_follow(void* cls, std::uint64_t, char* out, std::size_t max) {
  const long n = static_cast<FollowSlot*>(cls)->stream->read(out, max);
  return n < 0 ? MHD_CONTENT_READER_END_OF_STREAM : static_cast<ssize_t>(n);
}

void free_follow(void* cls) { delete static_cast<FollowSlot*>(cls); }

WebAnswer plain(int status, const char* error) {
  WebAnswer answer;
  answer.status = status;
  answer.body = std::string("{\"error\":\"") + error + "\"}\n";
  return answer;
}

MHD_Result collect(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* params = static_cast<WebParams*>(cls);
  params->emplace_back(key, value == nullptr ? "" : value);
  return MHD_YES;
}

// The session cookie's value among the request's cookies, or "".
std::string session_cookie(MHD_Connection* connection) {
  const char* value =
      MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kSessionCookie);
  return value == nullptr ? "" : value;
}

bool has_access(MHD_Connection* connection, const WebAccess& access) {
  const char* auth = MHD_lookup_connection_value(
      connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  static const char kBearer[] = "Bearer ";
  if (auth != nullptr && std::strncmp(auth, kBearer, sizeof kBearer - 1) == 0) {
    return access.token_ok(auth + sizeof kBearer - 1);
  }
  const std::string cookie = session_cookie(connection);
  return !cookie.empty() && access.cookie_ok(cookie);
}

// Paths whose answers hold log data or counters: the token's business.
bool needs_access(const std::string& path) {
  return path.compare(0, 5, "/api/") == 0 || path == "/metrics";
}

// The page or page file at `path`, from the program itself; 404 when
// there is none.
WebAnswer page_answer(const std::string& path) {
  const WebAsset* asset = find_asset(path);
  if (asset == nullptr) return plain(404, "no such path");
  WebAnswer answer;
  answer.content_type = asset->content_type;
  answer.body = std::string(asset->body);
  return answer;
}

// POST /login: the body is read (at most kMaxLoginBody), then the cookie
// is set when it holds the token.
MHD_Result answer_login(MHD_Connection* connection, RequestState* request,
                        const WebAccess& access, const char* upload,
                        std::size_t* upload_size) {
  if (*upload_size > 0) {
    if (request->body.size() + *upload_size > kMaxLoginBody) request->too_long = true;
    if (!request->too_long) request->body.append(upload, *upload_size);
    *upload_size = 0;
    return MHD_YES;
  }
  std::string given = request->body;
  if (given.compare(0, 6, "token=") == 0) given = given.substr(6);
  given = given.substr(0, given.find_first_of("\r\n&"));
  if (request->too_long || !access.token_ok(given)) {
    return queue(connection, plain(401, "no access"));
  }
  WebAnswer answer;
  answer.status = 204;
  answer.headers.emplace_back(
      "Set-Cookie", std::string(kSessionCookie) + "=" + access.cookie() +
                        "; Path=/; HttpOnly; SameSite=Strict");
  return queue(connection, answer);
}

MHD_Result handler(void* cls, MHD_Connection* connection, const char* url,
                   const char* method, const char*, const char* upload,
                   std::size_t* upload_size, void** state) {
  const auto* server = static_cast<const WebServer*>(cls);
  return server->handle(connection, url, method, upload, upload_size, state) != 0
             ? MHD_YES
             : MHD_NO;
}

void finished(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
  delete static_cast<RequestState*>(*state);
  *state = nullptr;
}

}  // namespace

WebServer::WebServer(const WebApi& api, const WebAccess& access)
    : api_(api), access_(access) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::system_category(), "pipe");
  }
  stop_read_.reset(fds[0]);
  stop_write_.reset(fds[1]);
}

WebServer::~WebServer() {
  if (daemon_ == nullptr) return;
  // The follows wait on the stop pipe as well as on the tree; closing its
  // end wakes them all, and their threads end before the daemon stops.
  stop_write_.reset();
  MHD_stop_daemon(daemon_);
}

bool WebServer::start(const WebListen& listen) {
  unsigned flags = MHD_USE_THREAD_PER_CONNECTION |
                   MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL |
                   MHD_USE_ERROR_LOG;
  if (listen.address.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
  const bool tls = !listen.tls_cert.empty();
  if (tls) flags |= MHD_USE_TLS;
  auto* address = const_cast<sockaddr_storage*>(&listen.address);
  std::vector<MHD_OptionItem> options = {
      {MHD_OPTION_SOCK_ADDR, 0, address},
      {MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, listen.timeout_seconds, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT,
       static_cast<intptr_t>(kMaxHeaderMemory), nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&finished),
       nullptr},
  };
  if (tls) {
    options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0,
                       const_cast<char*>(listen.tls_cert.c_str())});
    options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0,
                       const_cast<char*>(listen.tls_key.c_str())});
  }
  options.push_back({MHD_OPTION_END, 0, nullptr});
  timeout_seconds_ = listen.timeout_seconds;
  keep_idle_seconds_ = std::min(kKeptIdleSeconds, timeout_seconds_);
  // A follow's keep-alive comes well within the idle time-out.
  keep_alive_ms_ = std::min<int>(kFollowKeepAliveMs,
                                 static_cast<int>(listen.timeout_seconds) * 500);
  daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &handler,
                             const_cast<WebServer*>(this), MHD_OPTION_ARRAY,
                             options.data(), MHD_OPTION_END);
  return daemon_ != nullptr;
}

int WebServer::port() const {
  if (daemon_ == nullptr) return 0;
  const MHD_DaemonInfo* info =
      MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  return info == nullptr ? 0 : info->port;
}

int WebServer::handle(void* raw, const char* url, const char* method,
                      const char* upload, std::size_t* upload_size,
                      void** state) const {
  auto* connection = static_cast<MHD_Connection*>(raw);
  const std::string path = url;
  if (*state == nullptr) {
    *state = new RequestState;
    return MHD_YES;
  }
  auto* request = static_cast<RequestState*>(*state);
  const bool login =
      std::strcmp(method, MHD_HTTP_METHOD_POST) == 0 && path == "/login";
  if (*upload_size > 0 && !login) {
    // Only the login has a body; any other is not read, and the
    // connection ends with the answer.
    return queue(connection, plain(405, "read-only")) == MHD_YES;
  }
  if (login) return answer_login(connection, request, access_, upload, upload_size);
  // Between requests a kept connection holds a place of the 64 and a
  // thread: it is let go after a short idle time (a follow takes the whole
  // time-out back, and keeps within it).
  MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT,
                            keep_idle_seconds_);
  if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0) {
    return queue(connection, plain(405, "read-only")) == MHD_YES;
  }
  if (!needs_access(path)) {
    return queue(connection, page_answer(path)) == MHD_YES;
  }
  if (!has_access(connection, access_)) {
    WebAnswer answer = plain(401, "no access");
    answer.headers.emplace_back("WWW-Authenticate", "Bearer");
    return queue(connection, answer) == MHD_YES;
  }
  if (path == "/api/follow") return follow(connection);
  WebParams params;
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collect, &params);
  const auto answer_now = [&] {
    return api_.get(path, params, static_cast<std::int64_t>(std::time(nullptr)));
  };
  if (path != "/api/rows" && path != "/api/count") {
    return queue(connection, answer_now()) == MHD_YES;
  }
  std::string key = path;
  for (const auto& [name, value] : params) key += '\n' + name + '=' + value;
  return queue(connection, shared_.get(key, tree_fingerprint(api_.log_root()),
                                       answer_now)) == MHD_YES;
}

int WebServer::follow(void* raw) const {
  auto* connection = static_cast<MHD_Connection*>(raw);
  if (++follows_ > kMaxFollows) {
    --follows_;
    return queue(connection, plain(503, "too many follows")) == MHD_YES;
  }
  MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT,
                            timeout_seconds_);
  WebParams params;
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collect, &params);
  WebAnswer answer;
  FollowStream::Ends ends;
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  ends.client_fd = info == nullptr ? -1 : info->connect_fd;
  ends.stop_fd = stop_read_.get();
  ends.keep_alive_ms = keep_alive_ms_;
  std::unique_ptr<FollowStream> stream = FollowStream::open(
      api_.log_root(), params, static_cast<std::int64_t>(std::time(nullptr)),
      ends, &answer);
  if (stream == nullptr) {
    --follows_;
    return queue(connection, answer) == MHD_YES;
  }
  auto* slot = new FollowSlot(std::move(stream), &follows_);
  MHD_Response* response = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, 64 * 1024, &read_follow, slot, &free_follow);
  if (response == nullptr) {
    delete slot;
    return 0;
  }
  answer.content_type = "text/event-stream";
  return send(connection, response, answer) == MHD_YES;
}

}  // namespace quillo
