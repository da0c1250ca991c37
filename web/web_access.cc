#include "web/web_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/eintr.h"
#include "base/unique_fd.h"
#include "base/write_all.h"
#include "seal/seal_crypto.h"

namespace quillo {
namespace {

std::string session_of(const std::string& token) {
  return to_hex(sha256("quillo-web session" + token));
}

bool same_text(const std::string& a, const std::string& b) {
  // Hashes first: equal lengths, and no length told by the time taken.
  return same_digest(sha256(a), sha256(b));
}

std::optional<std::string> make_token(const std::string& path,
                                      std::string* error) {
  const std::optional<SealKey> bytes = random_seal_key();
  if (!bytes) {
    *error = "cannot draw a random token";
    return std::nullopt;
  }
  const std::string token = to_hex(*bytes);
  base::UniqueFd fd(base::retry_eintr([&] {
    return ::open(path.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  }));
  if (!fd || !base::write_all(fd.get(), (token + "\n").data(), token.size() + 1)) {
    *error = "cannot make " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return token;
}

}  // namespace

std::optional<std::string> load_or_make_token(const std::string& path,
                                              std::string* error) {
  base::UniqueFd fd(base::retry_eintr([&] {
    return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }));
  if (!fd && errno == ENOENT) return make_token(path, error);
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & 077) != 0) {
    *error = path + " must be a regular file of this user, mode 0600";
    return std::nullopt;
  }
  char buffer[256];
  const ssize_t n = base::retry_eintr(
      [&] { return ::read(fd.get(), buffer, sizeof buffer); });
  std::string token(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  token = token.substr(0, token.find_first_of("\r\n"));
  if (token.empty()) {
    *error = path + " holds no token";
    return std::nullopt;
  }
  return token;
}

WebAccess::WebAccess(std::string token)
    : token_(std::move(token)), cookie_(session_of(token_)) {}

bool WebAccess::token_ok(const std::string& given) const {
  return same_text(given, token_);
}

bool WebAccess::cookie_ok(const std::string& cookie) const {
  return same_text(cookie, cookie_);
}

}  // namespace quillo
