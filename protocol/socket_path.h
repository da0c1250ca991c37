// The daemon's socket: the one fixed path both programs share.

#ifndef QUILLO_PROTOCOL_SOCKET_PATH_H_
#define QUILLO_PROTOCOL_SOCKET_PATH_H_

#include <cstddef>
#include <string>

#include "base/root_dir.h"

namespace quillo {

inline constexpr char kSocketPath[] = "/tmp/quillo";

// Longest socket path that fits a local socket address with its NUL.
inline constexpr std::size_t kMaxSocketPath = 107;

// The socket below `root` (from base::absolute_root; "" for the appliance's
// own path).
inline std::string socket_path(const std::string& root) {
  return base::root_prefix(root) + kSocketPath;
}

}  // namespace quillo

#endif  // QUILLO_PROTOCOL_SOCKET_PATH_H_
