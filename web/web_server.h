// quillo-web's HTTP side, on libmicrohttpd: it checks access
// (web/web_access.h), hands GET requests to the API (web/web_api.h) and
// answers with the security headers every answer carries:
//
//   X-Content-Type-Options: nosniff
//   Content-Security-Policy: default-src 'self'; frame-ancestors 'none'
//   Referrer-Policy: no-referrer
//   Cache-Control: no-store
//
// GET of a page or of /static/FILE answers the file compiled into the
// program (web/web_assets.h) without the token: pages hold no data, they
// fetch it from /api/. Everything under /api/ and /metrics needs the
// token or the session cookie; any other path is 404.
//
// POST /login with the token as its body (or "token=..." as a form) sets
// the session cookie (HttpOnly, SameSite=Strict) and answers 204; a wrong
// token gets 401 like every request without access. There is no other
// write endpoint: any method but GET and POST /login gets 405.
//
// GET /api/follow streams server-sent events (web/web_follow.h) from the
// connection's thread until the client goes or the server stops. The
// answers of /api/rows and /api/count are shared between clients asking
// the same at once (web/shared_answers.h).
//
// Bounds: at most kMaxConnections at once (libmicrohttpd refuses the
// rest), each closed after kConnectionTimeout without traffic and, once a
// request was answered, after kKeptIdleSeconds without the next one; a
// request of at most 64 KiB of headers and 4 KiB of body (a body only for
// the login); one thread per connection so that a slow client holds up no
// other.

#ifndef QUILLO_WEB_WEB_SERVER_H_
#define QUILLO_WEB_WEB_SERVER_H_

#include <netinet/in.h>

#include <atomic>
#include <string>

#include "base/unique_fd.h"
#include "web/shared_answers.h"
#include "web/web_access.h"
#include "web/web_api.h"

struct MHD_Daemon;

namespace quillo {

inline constexpr unsigned kMaxConnections = 64;
inline constexpr unsigned kConnectionTimeout = 30;  // seconds
inline constexpr std::size_t kMaxLoginBody = 4096;
// Follows hold their connection for as long as the client keeps it, so
// they may take at most a quarter of the connections (503 beyond).
inline constexpr int kMaxFollows = 16;
inline constexpr int kFollowKeepAliveMs = 15000;
// A connection kept between requests is closed after this much idle time.
inline constexpr unsigned kKeptIdleSeconds = 5;

struct WebListen {
  sockaddr_storage address{};
  std::string text;  // as given, for messages
  std::string tls_cert;  // PEM text; empty: plain HTTP
  std::string tls_key;
  unsigned timeout_seconds = kConnectionTimeout;  // tests shorten it
};

class WebServer {
 public:
  // `api` and `access` outlive the server.
  WebServer(const WebApi& api, const WebAccess& access);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Listens and serves from libmicrohttpd's threads; false when the
  // address cannot be used.
  bool start(const WebListen& listen);
  // The port listened on (the one the system chose for port 0).
  int port() const;

  // Called by libmicrohttpd's threads.
  int handle(void* connection, const char* url, const char* method,
             const char* upload, std::size_t* upload_size, void** state) const;

 private:
  // Queues the event stream of /api/follow.
  int follow(void* connection) const;

  const WebApi& api_;
  const WebAccess& access_;
  MHD_Daemon* daemon_ = nullptr;
  // Readable once the server stops: ends the follows' waits.
  base::UniqueFd stop_read_;
  base::UniqueFd stop_write_;
  mutable std::atomic<int> follows_{0};
  int keep_alive_ms_ = kFollowKeepAliveMs;
  unsigned timeout_seconds_ = kConnectionTimeout;
  unsigned keep_idle_seconds_ = kKeptIdleSeconds;
  // /api/rows and /api/count, shared between clients asking at once.
  mutable SharedAnswers shared_;
};

}  // namespace quillo

#endif  // QUILLO_WEB_WEB_SERVER_H_
