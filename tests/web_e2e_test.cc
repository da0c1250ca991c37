// quillo-web over a tree the real quillod wrote: the API's answers are
// quillo-query's for the same filters (rows, a page boundary, counts), no
// token is no access, a bad parameter is named, nothing can be written,
// and /metrics is Prometheus text that moves after a record.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"
#include "tests/http_probe.h"

namespace quillo_test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

struct Http {
  int status = 0;
  std::string head;
  std::string body;
};

// One request on a connection of its own, read until the server closes.
Http request(int port, const std::string& text) {
  Http out;
  const std::string all = exchange(port, text).bytes;
  const std::size_t end = all.find("\r\n\r\n");
  out.head = all.substr(0, end);
  out.body = end == std::string::npos ? "" : all.substr(end + 4);
  if (all.size() > 12) out.status = std::atoi(all.c_str() + 9);
  return out;
}

// quillo-web on a free loopback port, ended by pid.
class WebProcess {
 public:
  explicit WebProcess(const ApplianceTree& tree) : tree_(tree) {
    out_ = tree.path("web.out");
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      setenv("QUILLO_ROOT", tree.root().c_str(), 1);
      execl(QUILLO_WEB_PATH, "quillo-web", "--listen", "127.0.0.1:0", nullptr);
      _exit(127);
    }
    const Clock::time_point until = Clock::now() + std::chrono::seconds(10);
    while (port_ == 0 && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const std::string text = read_file(out_);
      const std::size_t at = text.find("listening on port ");
      if (at != std::string::npos) port_ = std::atoi(text.c_str() + at + 18);
    }
    token_ = read_file(tree.state_dir() + "/web.token");
    token_ = token_.substr(0, token_.find('\n'));
  }
  ~WebProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }
  Http get(const std::string& target, const std::string& auth = "") const {
    return request(port_, "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" +
                              (auth.empty() ? "" : auth + "\r\n") +
                              "Connection: close\r\n\r\n");
  }
  Http get_with_token(const std::string& target) const {
    return get(target, "Authorization: Bearer " + token_);
  }
  const std::string& token() const { return token_; }

 private:
  const ApplianceTree& tree_;
  std::string out_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string token_;
};

class WebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    ASSERT_TRUE(daemon_.wait_ready());
    const char* users[] = {"ann", "bob", "ann", "cy", "ann"};
    for (int i = 0; i < 5; ++i) {
      ASSERT_EQ(run_client(tree_, {"--access", users[i], "pc1", "10.0.0.5",
                                   "open", "1", "0", "docs",
                                   "r|f" + std::to_string(i) + ".txt"})
                    .status,
                0);
    }
    // A row no page may run as markup.
    ASSERT_EQ(run_client(tree_, {"--access", "eve", "pc2", "10.0.0.6", "open",
                                 "1", "0", "docs",
                                 "r|<img src=x onerror=alert(1)>"})
                  .status,
              0);
    web_ = std::make_unique<WebProcess>(tree_);
    ASSERT_NE(web_->port(), 0) << read_file(tree_.path("web.out"));
  }

  std::string query(const std::vector<std::string>& args) const {
    return run(QUILLO_QUERY_PATH, args, tree_.root()).out;
  }

  ApplianceTree tree_;
  Daemon daemon_{tree_};
  std::unique_ptr<WebProcess> web_;
};

TEST_F(WebTest, AnswersAreQuilloQuerysForTheSameFilters) {
  Http r = web_->get_with_token("/api/rows?user=ann");
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_THAT(r.head, HasSubstr("Content-Type: application/x-ndjson"));
  EXPECT_THAT(r.head, HasSubstr("X-Content-Type-Options: nosniff"));
  EXPECT_THAT(r.head, HasSubstr("frame-ancestors 'none'"));
  EXPECT_EQ(r.body, query({"--output", "json", "--user", "ann"}));
  // A page boundary: two rows, a link to the rest, the rest after it.
  const std::string all = query({"--output", "json"});
  r = web_->get_with_token("/api/rows?limit=2");
  EXPECT_THAT(r.head, HasSubstr("Link: <?after=2>; rel=\"next\""));
  Http rest = web_->get_with_token("/api/rows?limit=100&after=2");
  EXPECT_EQ(r.body + rest.body, all);
  EXPECT_THAT(rest.head, ::testing::Not(HasSubstr("Link:")));
  EXPECT_THAT(all, HasSubstr("<img src=x onerror=alert(1)>"));
  // Counts: the numbers of --count-by.
  r = web_->get_with_token("/api/count?by=user&not-user=cy");
  EXPECT_EQ(r.body,
            "[{\"value\":\"ann\",\"count\":3},{\"value\":\"bob\",\"count\":1},"
            "{\"value\":\"eve\",\"count\":1}]\n");
  EXPECT_THAT(query({"--count-by", "user", "--not-user", "cy"}),
              HasSubstr("ann  3"));
}

TEST_F(WebTest, AccessNeedsTheTokenAndNothingIsWritten) {
  EXPECT_EQ(web_->get("/api/rows").status, 401);
  EXPECT_EQ(web_->get("/api/rows", "Authorization: Bearer nope").status, 401);
  EXPECT_EQ(web_->get("/metrics").status, 401);
  // The login's cookie stands for the token.
  Http login = request(web_->port(),
                       "POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                           std::to_string(web_->token().size()) +
                           "\r\nConnection: close\r\n\r\n" + web_->token());
  EXPECT_EQ(login.status, 204);
  const std::size_t at = login.head.find("Set-Cookie: ");
  ASSERT_NE(at, std::string::npos) << login.head;
  const std::string cookie =
      login.head.substr(at + 12, login.head.find(';', at) - at - 12);
  EXPECT_THAT(login.head, HasSubstr("HttpOnly; SameSite=Strict"));
  EXPECT_EQ(web_->get("/api/rows?limit=1", "Cookie: " + cookie).status, 200);
  Http wrong = request(web_->port(),
                       "POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 4"
                       "\r\nConnection: close\r\n\r\nnope");
  EXPECT_EQ(wrong.status, 401);
  EXPECT_THAT(wrong.head, ::testing::Not(HasSubstr("Set-Cookie")));
  // A bad parameter is named; no method writes.
  Http bad = web_->get_with_token("/api/rows?user=ann&since=someday");
  EXPECT_EQ(bad.status, 400);
  EXPECT_THAT(bad.body, HasSubstr("\"parameter\":\"since\""));
  Http post = request(web_->port(),
                      "DELETE /api/rows HTTP/1.1\r\nHost: x\r\nAuthorization: "
                      "Bearer " + web_->token() + "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(post.status, 405);
}

TEST_F(WebTest, MetricsAreQuillodsCountersAndMoveAfterARecord) {
  (void)daemon_.counters();  // the file as of now
  Http r = web_->get_with_token("/metrics");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_THAT(r.body, StartsWith("# TYPE quillo_requests_system counter\n"
                                 "quillo_requests_system 0\n"));
  EXPECT_THAT(r.body, HasSubstr("\nquillo_requests_access 6\n"));
  // Every line a comment or "name value".
  std::istringstream lines(r.body);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("# TYPE quillo_", 0) == 0) continue;
    EXPECT_THAT(line, ::testing::MatchesRegex("quillo_[a-z_]+ [0-9]+")) << line;
  }
  ASSERT_EQ(run_client(tree_, {"--access", "dan", "pc1", "10.0.0.5", "open",
                               "1", "0", "docs", "r|g.txt"})
                .status,
            0);
  (void)daemon_.counters();
  EXPECT_THAT(web_->get_with_token("/metrics").body,
              HasSubstr("\nquillo_requests_access 7\n"));
}

// A follow's connection, read as the events come.
class EventStream {
 public:
  EventStream(int port, const std::string& target, const std::string& token)
      : fd_(connect_local(port)) {
    send_all(fd_, "GET " + target + " HTTP/1.0\r\nHost: x\r\nAuthorization: Bearer " +
                      token + "\r\n\r\n");
  }

  // Everything read until `marker` appeared (each read bounded by 10 s).
  const std::string& read_until(const std::string& marker) {
    char buf[4096];
    while (all_.find(marker) == std::string::npos) {
      const ssize_t n = read(fd_.get(), buf, sizeof buf);
      if (n <= 0) break;
      all_.append(buf, n);
    }
    return all_;
  }

 private:
  base::UniqueFd fd_;
  std::string all_;
};

// The JSON lines of `text` as the data of server-sent events.
std::string as_events(const std::string& lines) {
  std::string out;
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) out += "data: " + line + "\n\n";
  return out;
}

TEST_F(WebTest, FollowStartsWithTheLastRowsAndSeesANewOne) {
  // The last rows: the tail of what quillo-query prints.
  const std::string ann = query({"--output", "json", "--user", "ann"});
  const std::string last_two = ann.substr(ann.find('\n') + 1);
  EXPECT_EQ(web_->get_with_token("/api/rows?user=ann&last=2").body, last_two);
  EXPECT_EQ(web_->get_with_token("/api/rows?last=2&limit=5").status, 400);

  EventStream follow(web_->port(), "/api/follow?user=ann&lines=2", web_->token());
  const std::string start = follow.read_until("event: caught-up\ndata: \n\n");
  EXPECT_THAT(start, HasSubstr("Content-Type: text/event-stream"));
  EXPECT_THAT(start, HasSubstr(as_events(last_two) + "event: caught-up\n"));
  // Another user's row is not the follow's; ann's next one is.
  for (const char* user : {"bob", "ann"}) {
    ASSERT_EQ(run_client(tree_, {"--access", user, "pc1", "10.0.0.5", "open",
                                 "1", "0", "docs", "r|live.txt"})
                  .status,
              0);
  }
  const std::string now = query({"--output", "json", "--user", "ann"});
  const std::string newest = now.substr(ann.size());
  ASSERT_THAT(newest, HasSubstr("live.txt"));
  const std::string events = follow.read_until(as_events(newest));
  EXPECT_THAT(events, HasSubstr("event: caught-up\ndata: \n\n" + as_events(newest)));
  EXPECT_THAT(events, ::testing::Not(HasSubstr("\"bob\"")));
  EXPECT_EQ(web_->get_with_token("/api/follow?until=today").status, 400);
}

TEST_F(WebTest, FollowsTakeAtMostAQuarterOfTheConnections) {
  std::vector<std::unique_ptr<EventStream>> follows;
  for (int i = 0; i < 16; ++i) {
    follows.push_back(std::make_unique<EventStream>(web_->port(), "/api/follow",
                                                     web_->token()));
    follows.back()->read_until("event: caught-up");
  }
  EXPECT_EQ(web_->get_with_token("/api/follow").status, 503);
  EXPECT_EQ(web_->get_with_token("/api/rows?limit=1").status, 200);
  // A follow that ends gives its place back.
  follows.pop_back();
  Http again;
  for (int tries = 0; tries < 100 && again.status != 200; ++tries) {
    EventStream next(web_->port(), "/api/follow", web_->token());
    const std::string& text = next.read_until("\r\n\r\n");
    again.status = text.size() > 12 ? std::atoi(text.c_str() + 9) : 0;
    if (again.status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(again.status, 200);
}

// Pages come without the token and hold no rows; what holds rows does
// not, and a path that is neither is 404 whoever asks.
TEST_F(WebTest, PagesNeedNoTokenAndUnknownPathsAre404) {
  for (const char* page : {"/", "/search", "/alerts", "/login"}) {
    const Http r = web_->get(page);
    EXPECT_EQ(r.status, 200) << page;
    EXPECT_THAT(r.head, HasSubstr("Content-Type: text/html")) << page;
    EXPECT_THAT(r.head, HasSubstr("Content-Security-Policy: default-src 'self'"));
    EXPECT_THAT(r.body, ::testing::Not(HasSubstr("onerror"))) << page;
  }
  const Http script = web_->get("/static/app.js");
  EXPECT_EQ(script.status, 200);
  EXPECT_THAT(script.head, HasSubstr("Content-Type: text/javascript"));
  for (const char* nothing : {"/nope", "/static/nope.js", "/static/index.html",
                              "/index.html", "/apix"}) {
    EXPECT_EQ(web_->get(nothing).status, 404) << nothing;
    EXPECT_EQ(web_->get_with_token(nothing).status, 404) << nothing;
  }
  EXPECT_EQ(web_->get("/api/nope").status, 401);
  EXPECT_EQ(web_->get_with_token("/api/nope").status, 404);
}

}  // namespace
}  // namespace quillo_test

