// The daemon's listening socket, at a fixed path in a world-writable folder
// (/tmp), where any local user may have put something first and a cleaner
// may remove it later. The accepted streams carry frames (see
// protocol/connection.h and protocol/frame_reader.h). Its messages go to
// standard error through base/console.h.
//
// Used by one thread (the daemon's main thread). Owns its descriptors: the socket's and a reserve (an
// open /dev/null) given up only to let a client go when the process has
// no descriptor left.

#ifndef QUILLO_PROTOCOL_LISTENER_H_
#define QUILLO_PROTOCOL_LISTENER_H_

#include <sys/types.h>

#include <string>

#include "base/unique_fd.h"

namespace quillo {

class Listener final {
 public:
  enum class Open {
    kOk,      // listening
    kBusy,    // a live socket is there: another daemon serves the path
    kFailed,  // errno tells why
  };

  // Makes no system call.
  explicit Listener(std::string path);
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Makes the socket (mode 0777). What is at the path first
  // decides: nothing, or a stale socket (removed), is fine; a live socket
  // gives kBusy and is left alone; anything else is renamed aside to
  // "<path>.stale.<pid>" with a message, never followed or deleted.
  Open open();

  // Makes the socket again when its file has gone or is no longer the one
  // this object made (a /tmp cleaner, a user's rename). Cheap when all is
  // well: one lstat(). Returns true when it made the socket again.
  bool check();

  // Accepts the next client (its socket non-blocking, close-on-exec),
  // waiting for one at most kAcceptWaitSeconds. -1 with errno EAGAIN when
  // none came, EINTR when a signal came first.
  //
  // Out of descriptors (EMFILE, ENFILE), a waiting client would keep the
  // socket readable for ever: it is taken into the reserve's place and
  // closed at once, without an answer, and the reserve is taken back; -1
  // with errno ECONNABORTED then (a local socket's accept gives that code
  // for nothing else). EMFILE or ENFILE only when nobody was waiting or
  // there was no reserve to give up.
  int accept();

  static constexpr long kAcceptWaitSeconds = 60;

  // Whether a live socket is at the path now (another daemon serves it).
  bool served_elsewhere() const;

  int fd() const { return fd_.get(); }
  bool is_open() const { return static_cast<bool>(fd_); }
  const std::string& path() const { return path_; }

 private:
  // Clears the path for a new socket; kBusy when a live one is there.
  Open clear_path();

  const std::string path_;
  base::UniqueFd fd_;
  base::UniqueFd reserve_;  // open except inside accept()
  dev_t dev_ = 0;           // of the socket file this object made
  ino_t ino_ = 0;
  bool busy_reported_ = false;  // said once until the path is ours again
};

}  // namespace quillo

#endif  // QUILLO_PROTOCOL_LISTENER_H_
