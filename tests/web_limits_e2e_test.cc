// quillo-web at its edges: HTTPS with a certificate of its own (the same
// rows as plain HTTP and quillo-query; plain HTTP to the TLS port gets no
// answer; an address other than loopback only with TLS), the connection
// bound (63 idle connections leave room for a request, the ones beyond 64
// are closed at once, the time-out frees the slots), stalled requests
// closed after the time-out, and requests over the size bounds refused
// with an error while the server goes on serving.
//
// The time-out is shortened to kTimeout through QUILLO_WEB_TIMEOUT_SECONDS.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "tests/e2e_support.h"
#include "tests/http_probe.h"

namespace quillo_test {
namespace {

using ::testing::AnyOf;
using ::testing::Eq;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

constexpr char kCurl[] = "/usr/bin/curl";
constexpr std::chrono::seconds kTimeout{2};  // the server's, for these tests
constexpr std::chrono::seconds kBound = kProbeBound;  // the test's own waits

// quillo-web with `args` on the tree and the short time-out, ended by pid.
class WebProcess {
 public:
  WebProcess(const ApplianceTree& tree, const std::vector<std::string>& args)
      : out_(tree.path("web-" + std::to_string(++started_) + ".out")) {
    setenv("QUILLO_WEB_TIMEOUT_SECONDS",
           std::to_string(kTimeout.count()).c_str(), 1);
    pid_ = start_program(QUILLO_WEB_PATH, args, tree.root(), "/dev/null", out_);
    unsetenv("QUILLO_WEB_TIMEOUT_SECONDS");
    const auto until = Clock::now() + kBound;
    while (port_ == 0 && status_ == -1 && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const std::string text = read_file(out_);
      const std::size_t at = text.find("listening on port ");
      if (at != std::string::npos) port_ = std::atoi(text.c_str() + at + 18);
      if (port_ == 0)
        status_ = wait_for_exit(pid_, std::chrono::milliseconds(0));
    }
    token_ = read_file(tree.state_dir() + "/web.token");
    token_ = token_.substr(0, token_.find('\n'));
  }
  ~WebProcess() {
    if (status_ != -1) return;
    kill(pid_, SIGTERM);
    if (wait_for_exit(pid_, kBound) != -1) return;
    kill(pid_, SIGKILL);
    wait_for_exit(pid_, kBound);
  }
  WebProcess(const WebProcess&) = delete;
  WebProcess& operator=(const WebProcess&) = delete;

  int port() const { return port_; }
  // The exit status when it ended by itself before listening, else -1.
  int status() const { return status_; }
  std::string output() const { return read_file(out_); }
  const std::string& token() const { return token_; }
  std::string get(const std::string& target) const {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
           "Authorization: Bearer " + token_ + "\r\nConnection: close\r\n\r\n";
  }

 private:
  static inline int started_ = 0;
  std::string out_;
  pid_t pid_ = -1;
  int port_ = 0;
  int status_ = -1;
  std::string token_;
};

struct CurlResult {
  int status = 0;  // 0: no HTTP answer
  std::string body;
};

// curl with `args` (silent), the status taken from its -w line.
CurlResult curl(std::vector<std::string> args) {
  args.insert(args.end(), {"-s", "-w", "\n%{http_code}"});
  const RunResult r = run(kCurl, args, "");
  const std::size_t nl = r.out.rfind('\n');
  if (nl == std::string::npos) return CurlResult{};
  return CurlResult{std::atoi(r.out.c_str() + nl + 1), r.out.substr(0, nl)};
}

// A self-signed certificate for 127.0.0.1 and its key, made by certtool in
// `dir`; `error` says why not when it failed.
struct SelfSigned {
  std::string cert, key, error;
};

SelfSigned make_self_signed(const std::string& dir) {
  SelfSigned s{dir + "/web.pem", dir + "/web.key", ""};
  mkdir(dir.c_str(), 0700);
  write_file(dir + "/web.tmpl",
             "cn = \"127.0.0.1\"\nip_address = \"127.0.0.1\"\n"
             "expiration_days = 2\ntls_www_server\nsigning_key\n"
             "encryption_key\n");
  RunResult r = run(
      TestPki::certtool(),
      {"--generate-privkey", "--sec-param", "medium", "--outfile", s.key}, "");
  if (r.status == 0) {
    r = run(TestPki::certtool(),
            {"--generate-self-signed", "--load-privkey", s.key, "--template",
             dir + "/web.tmpl", "--outfile", s.cert},
            "");
  }
  if (r.status != 0) s.error = "certtool: " + r.err;
  return s;
}

// HTTPS: a tree quillod wrote, a certificate for 127.0.0.1.
class WebTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TestPki::certtool().empty() || access(kCurl, X_OK) != 0) {
      GTEST_SKIP() << "certtool (gnutls-bin) and curl are needed";
    }
    setenv("TZ", "UTC", 1);
    ASSERT_TRUE(daemon_.wait_ready());
    for (const char* user : {"ann", "bob", "ann"}) {
      ASSERT_EQ(run_client(tree_, {"--access", user, "pc1", "10.0.0.5", "open",
                                   "1", "0", "docs", "r|plan.txt"})
                    .status,
                0);
    }
    tls_ = make_self_signed(tree_.path("tls"));
    ASSERT_EQ(tls_.error, "");
  }

  std::vector<std::string> tls_args(const std::string& listen) const {
    return {"--listen", listen, "--tls-cert", tls_.cert, "--tls-key", tls_.key};
  }
  CurlResult https(const WebProcess& web, const std::string& target) const {
    return curl({"--cacert", tls_.cert, "-H",
                 "Authorization: Bearer " + web.token(),
                 "https://127.0.0.1:" + std::to_string(web.port()) + target});
  }

  ApplianceTree tree_;
  Daemon daemon_{tree_};
  SelfSigned tls_;
};

TEST_F(WebTlsTest, HttpsAnswersTheRowsOfPlainHttpAndQuilloQuery) {
  const WebProcess tls(tree_, tls_args("127.0.0.1:0"));
  ASSERT_NE(tls.port(), 0) << tls.output();
  const WebProcess plain(tree_, {"--listen", "127.0.0.1:0"});
  const std::string http = "http://127.0.0.1:" + std::to_string(plain.port());
  ASSERT_NE(plain.port(), 0) << plain.output();
  const CurlResult secure = https(tls, "/api/rows?user=ann");
  EXPECT_EQ(secure.status, 200) << secure.body;
  const std::string rows =
      run(QUILLO_QUERY_PATH, {"--output", "json", "--user", "ann"},
          tree_.root())
          .out;
  EXPECT_THAT(rows, HasSubstr("\"user\":\"ann\""));
  EXPECT_EQ(secure.body, rows);
  EXPECT_EQ(curl({"-H", "Authorization: Bearer " + plain.token(),
                  http + "/api/rows?user=ann"})
                .body,
            rows);
  // The token is asked for over TLS as well.
  EXPECT_EQ(
      curl({"--cacert", tls_.cert,
            "https://127.0.0.1:" + std::to_string(tls.port()) + "/api/rows"})
          .status,
      401);
}

TEST_F(WebTlsTest, PlainHttpToTheTlsPortGetsNoAnswer) {
  const WebProcess tls(tree_, tls_args("127.0.0.1:0"));
  ASSERT_NE(tls.port(), 0) << tls.output();
  const Reply r = exchange(tls.port(), tls.get("/api/rows?user=ann"));
  EXPECT_TRUE(r.closed) << "still open after " << kBound.count() << " s";
  EXPECT_THAT(r.bytes, Not(HasSubstr("HTTP/1.")));
  EXPECT_THAT(r.bytes, Not(HasSubstr("ann")));
}

TEST_F(WebTlsTest, AnAddressOtherThanLoopbackNeedsTls) {
  const WebProcess open(tree_, {"--listen", "0.0.0.0:0"});
  EXPECT_EQ(open.port(), 0);
  EXPECT_EQ(open.status(), 2);
  EXPECT_THAT(open.output(), HasSubstr("not loopback"));
  const WebProcess tls(tree_, tls_args("0.0.0.0:0"));
  ASSERT_NE(tls.port(), 0) << tls.output();
  EXPECT_EQ(
      https(tls, "/api/count?by=user").body,
      "[{\"value\":\"ann\",\"count\":2},{\"value\":\"bob\",\"count\":1}]\n");
}

// The bounds: plain HTTP over an empty log root.
class WebBoundsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    web_ = std::make_unique<WebProcess>(
        tree_, std::vector<std::string>{"--listen", "127.0.0.1:0", "--root",
                                        tree_.log_root()});
    ASSERT_NE(web_->port(), 0) << web_->output();
  }

  // `n` connections that send nothing.
  std::vector<base::UniqueFd> idle(int n) const {
    std::vector<base::UniqueFd> fds;
    for (int i = 0; i < n; ++i) fds.push_back(connect_local(web_->port()));
    return fds;
  }
  Reply normal_request() const {
    return exchange(web_->port(), web_->get("/api/count?by=user"));
  }

  ApplianceTree tree_;
  std::unique_ptr<WebProcess> web_;
};

TEST_F(WebBoundsTest, SixtyThreeIdleConnectionsLeaveRoomForARequest) {
  const std::vector<base::UniqueFd> held = idle(63);
  for (const base::UniqueFd& fd : held) ASSERT_TRUE(fd);
  const Reply r = normal_request();
  EXPECT_EQ(r.status(), 200) << r.bytes;
  // Answered while the idle ones were still held, not once the time-out
  // had closed them.
  EXPECT_LT(r.took, kTimeout);
  int closed = 0;
  for (const base::UniqueFd& fd : held) closed += closed_by_server(fd);
  EXPECT_EQ(closed, 0);
}

TEST_F(WebBoundsTest, ConnectionsBeyondTheBoundAreClosedUntilTheTimeOut) {
  const std::vector<base::UniqueFd> held = idle(64);
  for (const base::UniqueFd& fd : held) ASSERT_TRUE(fd);
  // Closed at once without an answer, rather than kept waiting for a slot
  // (which would end in an answer once the time-out freed one).
  for (int i = 0; i < 4; ++i) {
    const Reply excess = normal_request();
    EXPECT_TRUE(excess.closed);
    EXPECT_EQ(excess.status(), 0) << excess.bytes;
  }
  for (const base::UniqueFd& fd : held) {
    const Reply r = read_until_close(fd);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.bytes, "");
  }
  EXPECT_EQ(normal_request().status(), 200);
}

// A connection that stops partway: closed by the server after the time-out.
struct Stall {
  const char* name;
  const char* sent;
};

void PrintTo(const Stall& s, std::ostream* os) { *os << s.name; }

class WebStallTest : public WebBoundsTest,
                     public ::testing::WithParamInterface<Stall> {};

TEST_P(WebStallTest, IsClosedAfterTheTimeOut) {
  const base::UniqueFd fd = connect_local(web_->port());
  ASSERT_TRUE(fd);
  ASSERT_TRUE(send_all(fd, GetParam().sent));
  const Reply r = read_until_close(fd);
  EXPECT_TRUE(r.closed) << "still open after " << kBound.count() << " s";
  EXPECT_GT(r.took, kTimeout - std::chrono::milliseconds(500));
  EXPECT_THAT(r.bytes, Not(StartsWith("HTTP/1.1 200")));
  EXPECT_EQ(normal_request().status(), 200);
}

INSTANTIATE_TEST_SUITE_P(
    Stalls, WebStallTest,
    ::testing::Values(Stall{"Nothing", ""},
                      Stall{"HalfARequestLine", "GET /api/ro"},
                      Stall{"AHeaderLine",
                            "GET /api/rows HTTP/1.1\r\nHost: x\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Requests by size: within the bounds they are served, beyond them refused
// with an error, and the server goes on.
struct Sized {
  const char* name;
  bool login;  // a POST /login body of `size`, else a header
  std::size_t size;
  int within;  // 0: over the bound
};

void PrintTo(const Sized& s, std::ostream* os) { *os << s.name; }

class WebSizeTest : public WebBoundsTest,
                    public ::testing::WithParamInterface<Sized> {
 protected:
  std::string request() const {
    const Sized& s = GetParam();
    if (!s.login) {
      return "GET /api/count?by=user HTTP/1.1\r\nHost: x\r\nAuthorization: "
             "Bearer " +
             web_->token() + "\r\nX-Pad: " + std::string(s.size, 'a') +
             "\r\nConnection: close\r\n\r\n";
    }
    // The right token first: only the size can make it fail.
    std::string body = "token=" + web_->token() + "&pad=";
    body.resize(s.size, 'b');
    return "POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  }
};

TEST_P(WebSizeTest, IsServedWithinTheBoundAndRefusedBeyond) {
  const Reply r = exchange(web_->port(), request());
  if (GetParam().within != 0) {
    EXPECT_EQ(r.status(), GetParam().within) << r.bytes.substr(0, 200);
  } else if (GetParam().login) {
    EXPECT_THAT(r.status(), AnyOf(Eq(400), Eq(401), Eq(413)));
    EXPECT_THAT(r.bytes, Not(HasSubstr("Set-Cookie")));
  } else {
    EXPECT_THAT(r.status(), AnyOf(Eq(400), Eq(413), Eq(431)));
  }
  EXPECT_EQ(normal_request().status(), 200);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, WebSizeTest,
    ::testing::Values(Sized{"Header16KiB", false, 16 * 1024, 200},
                      Sized{"Header70KiB", false, 70 * 1024, 0},
                      Sized{"Login4000", true, 4000, 204},
                      Sized{"Login5000", true, 5000, 0},
                      Sized{"Login200KiB", true, 200 * 1024, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillo_test
