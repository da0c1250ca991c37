// The listening socket: what it finds at its path, and what it does when
// the process has no descriptor left (a waiting client is let go at once
// instead of keeping the socket readable).

#include "protocol/listener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "testing/temp_tree.h"

namespace quillo {
namespace {

base::UniqueFd connect_to(const std::string& path) {
  base::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address),
                sizeof(address)) != 0) {
    fd.reset();
  }
  return fd;
}

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

// Lowers the soft descriptor limit for the test's lifetime, so that using
// up every descriptor takes a few hundred opens.
class LowDescriptorLimit {
 public:
  LowDescriptorLimit() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = 256;
    ::setrlimit(RLIMIT_NOFILE, &low);
  }
  ~LowDescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

TEST(ListenerTest, StaleSocketFileIsReplaced) {
  quillo_test::TempTree tree("quillo-listener");
  const std::string path = tree.file("sock");
  {
    Listener first(path);
    ASSERT_EQ(first.open(), Listener::Open::kOk);
  }  // the socket file stays behind, with nobody listening
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  ASSERT_TRUE(S_ISSOCK(st.st_mode));
  Listener second(path);
  EXPECT_FALSE(second.served_elsewhere());
  ASSERT_EQ(second.open(), Listener::Open::kOk);
  const base::UniqueFd client = connect_to(path);
  ASSERT_TRUE(client);
  const base::UniqueFd accepted(second.accept());
  EXPECT_TRUE(accepted);
}

TEST(ListenerTest, LiveSocketIsLeftToItsDaemon) {
  quillo_test::TempTree tree("quillo-listener");
  const std::string path = tree.file("sock");
  Listener first(path);
  ASSERT_EQ(first.open(), Listener::Open::kOk);
  Listener second(path);
  EXPECT_TRUE(second.served_elsewhere());
  EXPECT_EQ(second.open(), Listener::Open::kBusy);
  EXPECT_FALSE(second.is_open());
}

TEST(ListenerTest, UnbindablePathFailsAndIsRetried) {
  quillo_test::TempTree tree("quillo-listener");
  Listener listener(tree.file("missing/sock"));
  EXPECT_EQ(listener.open(), Listener::Open::kFailed);
  EXPECT_FALSE(listener.is_open());
  EXPECT_EQ(listener.fd(), -1);
  EXPECT_EQ(listener.accept(), -1);
  EXPECT_EQ(errno, EBADF);
  ASSERT_EQ(::mkdir(tree.file("missing").c_str(), 0700), 0);
  EXPECT_EQ(listener.open(), Listener::Open::kOk);
  EXPECT_TRUE(listener.is_open());
}

TEST(ListenerTest, OutOfDescriptorsDropsEachWaitingClientAtOnce) {
  quillo_test::TempTree tree("quillo-listener");
  Listener listener(tree.file("sock"));
  ASSERT_EQ(listener.open(), Listener::Open::kOk);
  const base::UniqueFd first = connect_to(listener.path());
  const base::UniqueFd second = connect_to(listener.path());
  ASSERT_TRUE(first && second);

  struct Attempt {
    int result, error;
    ssize_t received;  // 0: the client saw its stream end
  };
  std::vector<Attempt> attempts;
  bool still_readable = true;
  {
    const LowDescriptorLimit limit;
    std::vector<base::UniqueFd> filler;
    attempts.reserve(2);
    for (;;) {
      base::UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
      if (!fd) break;
      filler.push_back(std::move(fd));
    }
    // Nothing that may want a descriptor (the test's own reporting among
    // them) runs until the filler is gone: results are kept and checked
    // below.
    if (errno == EMFILE) {
      for (const base::UniqueFd* client : {&first, &second}) {
        Attempt a{};
        a.result = listener.accept();
        a.error = errno;
        char byte;
        a.received = ::recv(client->get(), &byte, 1, MSG_DONTWAIT);
        attempts.push_back(a);
      }
      still_readable = readable(listener.fd());
    }
  }
  // Each waiting client was taken and closed: it saw the end of its
  // stream, and the socket is not readable for it again.
  ASSERT_EQ(attempts.size(), 2u) << "descriptors were not used up";
  for (const Attempt& a : attempts) {
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.error, ECONNABORTED);
    EXPECT_EQ(a.received, 0);
  }
  EXPECT_FALSE(still_readable);

  // With descriptors back, clients are accepted as ever.
  const base::UniqueFd third = connect_to(listener.path());
  ASSERT_TRUE(third);
  const base::UniqueFd accepted(listener.accept());
  EXPECT_TRUE(accepted);
}

}  // namespace
}  // namespace quillo
