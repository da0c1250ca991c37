// Who may read: the token of quillo-web and the session cookie made from
// it.
//
// The token file (default <state dir>/web.token) holds the token on its
// first line. A missing file is made at start: 32 random bytes (GnuTLS) as
// 64 hex digits, mode 0600, created exclusively and never through a link.
// An existing file is used only when it is a regular file of this user
// that nobody else may read or change.
//
// A request carries the token as "Authorization: Bearer TOKEN" or the
// cookie that POST /login sets: SHA-256("quillo-web session" || token) in
// hex, so the cookie is as strong as the token and the server keeps no
// sessions. Both are compared in time independent of their bytes.

#ifndef QUILLO_WEB_WEB_ACCESS_H_
#define QUILLO_WEB_WEB_ACCESS_H_

#include <optional>
#include <string>

namespace quillo {

inline constexpr char kSessionCookie[] = "quillo_session";

// The token of `path`, made when missing; nullopt with *error otherwise.
std::optional<std::string> load_or_make_token(const std::string& path,
                                              std::string* error);

class WebAccess {
 public:
  explicit WebAccess(std::string token);

  // Whether `given` is the token.
  bool token_ok(const std::string& given) const;
  // Whether `cookie` is the session cookie's value.
  bool cookie_ok(const std::string& cookie) const;
  // The session cookie's value.
  const std::string& cookie() const { return cookie_; }

 private:
  std::string token_;
  std::string cookie_;
};

}  // namespace quillo

#endif  // QUILLO_WEB_WEB_ACCESS_H_
