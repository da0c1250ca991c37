// quillo-query over trees the real quillod wrote (and, for access rows,
// whose time is the daemon's own clock, over files written by hand in the
// daemon's exact format).

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kBom[] = "\xEF\xBB\xBF";

int64_t utc(int year, int month, int day, int hour, int minute = 0) {
  struct tm f {};
  f.tm_year = year - 1900;
  f.tm_mon = month - 1;
  f.tm_mday = day;
  f.tm_hour = hour;
  f.tm_min = minute;
  return static_cast<int64_t>(timegm(&f));
}

// The lines of `text`, without the line ends.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos;
       start = nl + 1) {
    out.push_back(text.substr(start, nl - start));
  }
  return out;
}

// The second column of each CSV line: the user, or a system row's text1.
std::vector<std::string> second_columns(const std::string& text) {
  std::vector<std::string> out;
  for (const std::string& line : lines_of(text)) {
    const std::size_t a = line.find(',');
    out.push_back(line.substr(a + 1, line.find(',', a + 1) - a - 1));
  }
  return out;
}

class QueryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("TZ", "UTC", 1); }

  RunResult Query(const std::vector<std::string>& args) {
    return run(QUILLO_QUERY_PATH, args, tree_.root());
  }
  void Send(const std::vector<std::string>& args) {
    ASSERT_EQ(run_client(tree_, args).status, 0);
  }
  void SetLineCount(const std::string& kind, int count) {
    const std::string state = tree_.state_dir() + "/" + kind + "_info";
    const std::string name =
        read_file(state).substr(0, read_file(state).find('\n'));
    write_file(state, name + "\n" + std::to_string(count) + "\n");
  }
  std::string AccessFile(const std::string& month, const std::string& name) {
    const std::string dir = tree_.log_root() + "/accesslog/" + month;
    mkdir((tree_.log_root() + "/accesslog").c_str(), 0777);
    mkdir(dir.c_str(), 0777);
    return dir + "/" + name;
  }

  ApplianceTree tree_;
};

// Month change, roll-over and a queued older row in a later file, all
// written by the daemon; the configuration names the log root.
TEST_F(QueryTest, SystemRowsComeInTimeOrderAcrossFilesAndMonths) {
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  auto send_at = [&](int64_t t, const char* text) {
    Send({"--system", std::to_string(t), text, "b", "c,with,commas#x"});
  };
  send_at(utc(2026, 12, 30, 10), "r1");
  SetLineCount("system", 65534);
  send_at(utc(2026, 12, 30, 11), "r2");  // the file's last line
  send_at(utc(2026, 12, 30, 12), "r3");  // a new file
  send_at(utc(2026, 12, 30, 9), "r0");   // older, into the 12:00 file
  send_at(utc(2027, 1, 2, 8), "r4");
  ASSERT_THAT(list_files(tree_.log_root()),
              ElementsAre("systemlog/202612/system_20261230100000.csv",
                          "systemlog/202612/system_20261230120000.csv",
                          "systemlog/202701/system_20270102080000.csv"));

  const RunResult all = Query({"--kind", "system"});
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_THAT(second_columns(all.out),
              ElementsAre("r0", "r1", "r2", "r3", "r4"));
  EXPECT_EQ(lines_of(all.out)[1], "2026/12/30 10:00:00,r1,b,c,with,commas#x");

  const RunResult range = Query({"--kind=system", "--since", "2026-12-30 09:30",
                                 "--until", "2026-12-30 12:00:00"});
  EXPECT_THAT(second_columns(range.out), ElementsAre("r1", "r2", "r3"));

  const RunResult json =
      Query({"--kind", "system", "--since", "2027-01-01", "--output=json"});
  EXPECT_EQ(json.out,
            "{\"time\":\"2027/01/02 08:00:00\",\"timestamp\":"
            "\"2027-01-02T08:00:00+00:00\",\"text1\":\"r4\",\"text2\":\"b\","
            "\"text3\":\"c,with,commas#x\"}\n");

  const RunResult by_day = Query({"--kind", "system", "--count-by", "day"});
  EXPECT_THAT(lines_of(by_day.out),
              ElementsAre(::testing::StartsWith("2026/12/30  4 #"),
                          ::testing::StartsWith("2027/01/02  1 #")));
}

// Hand-written access files in the daemon's format: two months, a
// roll-over, damaged lines, a half-written last line, a planted FIFO and a
// planted link.
class AccessTreeTest : public QueryTest {
 protected:
  void SetUp() override {
    write_file(AccessFile("202612", "access_20261231230000.csv"),
               std::string(kBom) +
                   "2026/12/31 23:00:00,alice,pc1,10.0.0.1,open_read,ok,docs,"
                   "a.txt\r\n"
                   "2026/12/31 23:10:00,bob,pc2,10.0.0.2,delete,fail "
                   "(Permission denied),docs,a,b#012c\xFF\r\n"
                   "garbage\r\n" +
                   kBom + "2026/12/31 23:20:00,x,h,i,o,ok,s,p\r\n" +
                   "2026/12/31 23:30:00,eve,h,i,o,ok,s,bare lf\n");
    write_file(AccessFile("202612", "access_20261231234000.csv"),
               std::string(kBom) +
                   "2026/12/31 23:40:00,dave,pc4,10.0.0.4,open_read,ok,"
                   "docs,d.txt\r\n"
                   "2026/12/31 23:50:00,alice,pc1,10.0.0.1,open_write,ok,"
                   "docs,b.txt\r\n");
    write_file(AccessFile("202701", "access_20270101000500.csv"),
               std::string(kBom) +
                   "2027/01/01 00:05:00,carol,pc3,10.0.0.3,open_read,ok,"
                   "home,c.txt\r\n"
                   "2027/01/01 00:06:00,alice,pc1,10.0.0.1,open_read,ok,docs");
    write_file(tree_.path("secret"), "2027/01/01 00:09:00,s,s,s,s,ok,s,s\r\n");
    mkfifo(AccessFile("202701", "access_20270101001000.csv").c_str(), 0666);
    symlink(tree_.path("secret").c_str(),
            AccessFile("202701", "access_20270101002000.csv").c_str());
  }
};

TEST_F(AccessTreeTest, WildcardFiltersSelectRowsInOrder) {
  const RunResult r = Query({"--user", "AL*", "--op", "open_*"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(lines_of(r.out),
              ElementsAre(::testing::StartsWith("2026/12/31 23:00:00,alice"),
                          ::testing::StartsWith("2026/12/31 23:50:00,alice")));
  // Damaged lines are named by file and line; the rest goes on.
  const std::string first = "accesslog/202612/access_20261231230000.csv";
  EXPECT_THAT(r.err, HasSubstr(first + ":3: "));
  EXPECT_THAT(r.err, HasSubstr(first + ":4: byte order mark"));
  EXPECT_THAT(r.err, HasSubstr(first + ":5: line ends without CR"));
  EXPECT_THAT(r.err, HasSubstr("access_20270101001000.csv: not a regular"));
  EXPECT_THAT(r.err, HasSubstr("access_20270101002000.csv: not a regular"));

  const RunResult json =
      Query({"--not-user", "alice", "--result", "fail", "--output", "json"});
  EXPECT_THAT(json.out, HasSubstr("\"result\":\"fail (Permission denied)\","
                                  "\"share\":\"docs\",\"path\":\"a,b\\nc"
                                  "\xEF\xBF\xBD\"}\n"));
  EXPECT_EQ(lines_of(json.out).size(), 1u);
  // In CSV the row stays byte for byte as stored.
  EXPECT_THAT(Query({"--user", "bob"}).out, HasSubstr("a,b#012c\xFF\n"));
  EXPECT_EQ(Query({"--user", "nobody"}).status, 1);
  EXPECT_EQ(Query({"--root", tree_.path("missing")}).status, 2);
}

TEST_F(AccessTreeTest, TimeBoundsReadOnlyTheFilesThatCanHoldTheRows) {
  const RunResult r =
      Query({"--since", "2026-12-31 23:45", "--count-by", "user"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(lines_of(r.out),
              ElementsAre(::testing::StartsWith("alice  1 #"),
                          ::testing::StartsWith("carol  1 #")));
  // The next file's stamp (23:40) ends the first file before the bound, so
  // its damage goes unread.
  EXPECT_THAT(r.err, Not(HasSubstr("access_20261231230000.csv")));
  const RunResult day =
      Query({"--since", "2027-01-01", "--until", "2027-01-01 23:59:59"});
  EXPECT_THAT(second_columns(day.out), ElementsAre("carol"));
}

// An access row at `time` by `user`, as the daemon writes it.
std::string access_row(const std::string& time, const std::string& user,
                       const std::string& op = "open_read") {
  return time + "," + user + ",pc1,10.0.0.1," + op + ",ok,docs,a.txt\r\n";
}

// A file in the daemon's month folder that the daemon did not write
// there under that name: a local user's (another owner), or one of the
// daemon's own files renamed (its first row is not at its stamp). The
// daemon's file before it has a row after the planted stamp.
struct PlantCase {
  const char* what;
  std::string content;
  uid_t owner;
  std::vector<std::string> until_0810;  // users of --until 08:10
};

void PrintTo(const PlantCase& c, std::ostream* os) { *os << c.what; }

class PlantedStampTest : public QueryTest,
                         public ::testing::WithParamInterface<PlantCase> {};

TEST_P(PlantedStampTest, HidesNoRow) {
  write_file(AccessFile("202612", "access_20261209081940.csv"),
             std::string(kBom) + access_row("2026/12/09 08:19:40", "carol") +
                 access_row("2026/12/09 08:19:44", "carol", "delete"));
  const std::string planted =
      AccessFile("202612", "access_20261209081941.csv");
  write_file(planted, GetParam().content);
  ASSERT_EQ(chown(planted.c_str(), GetParam().owner, GetParam().owner), 0);

  const RunResult since = Query({"--since", "2026-12-09 08:19:42"});
  EXPECT_EQ(since.status, 0) << since.err;
  EXPECT_THAT(lines_of(since.out),
              ElementsAre("2026/12/09 08:19:44,carol,pc1,10.0.0.1,delete,ok,"
                          "docs,a.txt"));
  EXPECT_EQ(second_columns(Query({"--until", "2026-12-09 08:10"}).out),
            GetParam().until_0810);
}

INSTANTIATE_TEST_SUITE_P(
    Plants, PlantedStampTest,
    ::testing::Values(
        PlantCase{"a local user's empty file", kBom, 65534, {}},
        PlantCase{"the daemon's file of 08:00 renamed",
                  std::string(kBom) +
                      access_row("2026/12/09 08:00:00", "alice"),
                  0,
                  {"alice"}}));

// A local user's file of a mark and a hole of zeros (truncate -s), with a
// row after it, beside the daemon's file.
TEST_F(QueryTest, HoleOfZerosIsOneDamagedLine) {
  const std::string hole = AccessFile("202612", "access_20261209081941.csv");
  write_file(hole, kBom);
  ASSERT_EQ(truncate(hole.c_str(), 8 << 20), 0);
  const int fd = open(hole.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string after = "\r\n" + access_row("2026/12/09 08:19:42", "b");
  EXPECT_EQ(write(fd, after.data(), after.size()),
            static_cast<ssize_t>(after.size()));
  close(fd);
  write_file(AccessFile("202612", "access_20261209081940.csv"),
             std::string(kBom) + access_row("2026/12/09 08:19:40", "a"));

  const RunResult r = Query({"--user", "*"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(second_columns(r.out), ElementsAre("a", "b"));
  EXPECT_EQ(r.err,
            "quillo-query: " + tree_.log_root() +
                "/accesslog/202612/access_20261209081941.csv:1: line longer "
                "than 64 KiB, left out\n");
}

// The values of `key` in the JSON lines of `text`, in order.
std::vector<std::string> json_values(const std::string& text,
                                     const std::string& key) {
  std::vector<std::string> out;
  const std::string tag = "\"" + key + "\":\"";
  for (const std::string& line : lines_of(text)) {
    const std::size_t at = line.find(tag);
    if (at == std::string::npos) continue;
    const std::size_t from = at + tag.size();
    out.push_back(line.substr(from, line.find('"', from) - from));
  }
  return out;
}

// The night the clocks go back in Berlin, the daemon writes the hour from
// 02:00 twice; the stored time cannot tell the two apart, the rows' order
// in the file can.
class BerlinQueryTest : public QueryTest {
 protected:
  void SetUp() override { setenv("TZ", "Europe/Berlin", 1); }
  void TearDown() override { setenv("TZ", "UTC", 1); }
};

TEST_F(BerlinQueryTest, RepeatedHourIsToldApartByTheRowsOrder) {
  write_file(AccessFile("202610", "access_20261025015000.csv"),
             std::string(kBom) + access_row("2026/10/25 01:50:00", "a") +
                 access_row("2026/10/25 02:30:00", "b") +
                 access_row("2026/10/25 02:59:00", "c") +
                 access_row("2026/10/25 02:10:00", "d") +
                 access_row("2026/10/25 02:30:00", "e") +
                 access_row("2026/10/25 03:10:00", "f"));
  // From the first 02:15 to the second 02:45.
  const RunResult r = Query({"--since", "2026-10-25 02:15", "--until",
                             "2026-10-25 02:45", "--output", "json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(json_values(r.out, "user"), ElementsAre("b", "c", "d", "e"));
  EXPECT_THAT(json_values(r.out, "timestamp"),
              ElementsAre("2026-10-25T02:30:00+02:00",
                          "2026-10-25T02:59:00+02:00",
                          "2026-10-25T02:10:00+01:00",
                          "2026-10-25T02:30:00+01:00"));
  // An hour later than the first 02:30 is the second one.
  const RunResult later = Query({"--since", "2026-10-25 03:20"});
  EXPECT_EQ(later.status, 1) << later.out;
  EXPECT_THAT(second_columns(Query({"--since", "2026-10-25 02:40"}).out),
              ElementsAre("c", "d", "e", "f"));
}

// What quillo-query writes to a terminal: its standard output is a
// pseudo-terminal in raw mode (bytes as written), its standard error
// goes nowhere. Waits at most 20 s.
std::string query_on_terminal(const ApplianceTree& tree,
                              std::vector<std::string> args) {
  termios raw{};
  cfmakeraw(&raw);
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) return "";
  fcntl(master, F_SETFD, FD_CLOEXEC);
  args.insert(args.begin(), QUILLO_QUERY_PATH);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("QUILLO_ROOT", tree.root().c_str(), 1);
    dup2(slave, 1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(slave);
  std::string out;
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[4096];
    const ssize_t got = read(master, buf, sizeof buf);
    if (got <= 0) break;  // EIO: the program closed the terminal
    out.append(buf, static_cast<std::size_t>(got));
  }
  kill(pid, SIGKILL);  // only if it is still running after the bound
  waitpid(pid, nullptr, 0);
  close(master);
  return out;
}

bool has_controls(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < text.size() &&
        (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
      return true;  // U+0080-U+009F
    }
  }
  return false;
}

// A local user logs terminal escapes (CSI as ESC [ and as U+009B, a title
// change) and plants a file whose name is one: nothing of it reaches the
// administrator's terminal as a control, and the stored bytes stay.
TEST_F(QueryTest, TerminalEscapesAreShownNotObeyed) {
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  const std::string user = "evil\x1b[31mred\x1b[0m";  // as stored
  const std::string path = "a\xc2\x9b" "2Jb\x1b]0;owned\x1b\\";
  Send({"--access", user, "pc1", "10.0.0.1", "open", "1", "0", "docs", path});
  const std::vector<std::string> files =
      list_files(tree_.log_root() + "/accesslog");
  ASSERT_EQ(files.size(), 1u);
  const std::string month = files[0].substr(0, 6);
  write_file(AccessFile(month, "x\x1b]0;TITLE\x1b\\y"), kBom);

  const std::string shown_user = "evil\\x1b[31mred\\x1b[0m";
  const std::string shown_path = "a\\u009b2Jb\\x1b]0;owned\\x1b\\\\";
  const std::string terminal = query_on_terminal(tree_, {});
  EXPECT_THAT(terminal, HasSubstr("," + shown_user + ",pc1,"));
  EXPECT_THAT(terminal, HasSubstr(",docs," + shown_path + "\n"));
  EXPECT_FALSE(has_controls(terminal)) << terminal;

  // Into a pipe or file, CSV is the stored format, byte for byte.
  const RunResult csv = Query({});
  EXPECT_THAT(csv.out, HasSubstr("," + user + ",pc1,"));
  EXPECT_THAT(csv.out, HasSubstr(",docs," + path + "\n"));
  // Names in messages are always shown escaped.
  EXPECT_THAT(csv.err,
              HasSubstr("/x\\x1b]0;TITLE\\x1b\\\\y: not a log file"));
  EXPECT_FALSE(has_controls(csv.err)) << csv.err;
  // The other forms are for reading and never hold a control.
  for (const std::vector<std::string>& form :
       {std::vector<std::string>{"--output", "table"},
        std::vector<std::string>{"--output", "json"},
        std::vector<std::string>{"--count-by", "user"}}) {
    const RunResult r = Query(form);
    EXPECT_EQ(r.status, 0) << form[1];
    EXPECT_FALSE(has_controls(r.out)) << form[1] << ": " << r.out;
  }
  EXPECT_THAT(Query({"--count-by", "user"}).out, HasSubstr(shown_user));
}

// quillo-query --follow as a child writing into a pipe.
class FollowProcess {
 public:
  FollowProcess(const ApplianceTree& tree, std::vector<std::string> args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    args.insert(args.begin(), QUILLO_QUERY_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      setenv("QUILLO_ROOT", tree.root().c_str(), 1);
      dup2(fds[1], 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
  }
  ~FollowProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }

  // The next `n` lines, waiting at most 20 s in all; fewer on time-out.
  std::vector<std::string> Lines(std::size_t n) {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (lines_of(pending_).size() < n &&
           std::chrono::steady_clock::now() < until) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char buf[4096];
      const ssize_t got = read(fd_, buf, sizeof buf);
      if (got <= 0) break;
      pending_.append(buf, static_cast<std::size_t>(got));
    }
    std::vector<std::string> all = lines_of(pending_);
    if (all.size() > n) all.resize(n);
    std::size_t used = 0;
    for (const auto& l : all) used += l.size() + 1;
    pending_.erase(0, used);
    return all;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string pending_;
};

TEST_F(QueryTest, FollowShowsTheLastRowsThenNewOnesAcrossARollOver) {
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  auto access = [&](int i) {
    Send({"--access", "user" + std::to_string(i), "pc", "10.0.0.1", "open", "1",
          "0", "docs", "r|f" + std::to_string(i)});
  };
  for (int i = 1; i <= 12; ++i) access(i);
  FollowProcess follow(tree_, {"--follow", "--user", "user*"});
  std::string first;
  for (const std::string& line : follow.Lines(10)) first += line + "\n";
  EXPECT_THAT(second_columns(first),
              ElementsAre("user3", "user4", "user5", "user6", "user7", "user8",
                          "user9", "user10", "user11", "user12"));
  access(13);
  EXPECT_THAT(follow.Lines(1), ElementsAre(HasSubstr(",user13,")));
  // The next file must get a stamp of its own second.
  sleep(1);
  SetLineCount("access", 65534);
  access(14);
  access(15);
  EXPECT_THAT(follow.Lines(2),
              ElementsAre(HasSubstr(",user14,"), HasSubstr(",user15,")));
  EXPECT_EQ(list_files(tree_.log_root() + "/accesslog").size(), 2u);
}

}  // namespace
}  // namespace quillo_test
