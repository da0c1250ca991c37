// Sealing with the real quillod and quillo-query: keys made by
// --setup-keys, a tree written over two daemon runs (so the chains go on
// across a restart) with rows of two months (a roll-over), epochs of one
// second; then quillo-query --verify on copies of that tree, each tampered
// with in one way, names the file and line and exits 1, and the stolen
// current key cannot re-seal an older file.

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "seal/seal_crypto.h"
#include "seal/seal_record.h"
#include "seal/seal_store.h"
#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

namespace fs = std::filesystem;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

const char kSealConf[] =
    "  <sealconf enable=\"true\"><epochminutes>15</epochminutes></sealconf>\n";

void send_frame(const ApplianceTree& tree,
                const std::vector<unsigned char>& frame) {
  RawClient client(tree);
  client.send(frame);
  ASSERT_EQ(client.read_until_close(), kAcceptedAnswer);
}

// November and December 2023: two month folders of system rows.
void send_rows(const ApplianceTree& tree, int first, int count) {
  for (int i = first; i < first + count; ++i) {
    const char* time = i < first + count / 2 ? "1700000000" : "1702000000";
    const std::string text = "row" + std::to_string(i);
    send_frame(tree, system_frame(time, text.c_str(), "b", "c"));
    send_frame(tree, access_frame("u", "h", "i", "open", 1, 0, "docs",
                                  text.c_str()));
  }
}

std::vector<std::string> file_lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)),
                  std::istreambuf_iterator<char>());
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < all.size();) {
    const std::size_t end = all.find("\r\n", at);
    const std::size_t next = end == std::string::npos ? all.size() : end + 2;
    lines.push_back(all.substr(at, next - at));
    at = next;
  }
  return lines;
}

void write_lines(const std::string& path, const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line;
  write_file(path, all);
}

// Folders and regular files with their modes (the sealing state's are
// checked); the daemon's socket is left behind.
void copy_tree(const std::string& from, const std::string& to) {
  for (const fs::directory_entry& entry :
       fs::recursive_directory_iterator(from)) {
    const fs::path target = fs::path(to) / fs::relative(entry.path(), from);
    const fs::file_status st = entry.symlink_status();
    if (fs::is_directory(st)) {
      fs::create_directories(target);
    } else if (fs::is_regular_file(st)) {
      fs::copy_file(entry.path(), target,
                    fs::copy_options::overwrite_existing);
    } else {
      continue;
    }
    fs::permissions(target, st.permissions());
  }
}

// The tree every case starts from, written once.
class SealTree {
 public:
  SealTree() {
    setenv("TZ", "UTC", 1);
    setenv("QUILLO_SEAL_EPOCH_SECONDS", "1", 1);
    tree_.write_config(tree_.default_config_body() + kSealConf);
    const RunResult keys = run(QUILLO_QUERY_PATH, {"--setup-keys"}, tree_.root());
    setup_status = keys.status;
    setup_out = keys.out;
    const std::size_t at = keys.out.find("verification key: ");
    if (at != std::string::npos) {
      key = keys.out.substr(at + 18, keys.out.find('\n', at) - at - 18);
    }
    for (int run_number = 0; run_number < 2; ++run_number) {
      Daemon daemon(tree_);
      if (!daemon.wait_ready()) return;
      send_rows(tree_, run_number * 20, 20);
      // A few epochs go by, each ending with its records.
      const std::uint64_t wanted = daemon.counters()["seal_records"] + 3;
      const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
      while (daemon.counters()["seal_records"] < wanted && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
      daemon_err += daemon.err();
      daemon.signal(SIGTERM);
      daemon.wait_exit(std::chrono::seconds(20));
    }
    unsetenv("QUILLO_SEAL_EPOCH_SECONDS");
  }

  const ApplianceTree& tree() const { return tree_; }

  int setup_status = -1;
  std::string setup_out;
  std::string key;
  std::string daemon_err;

 private:
  ApplianceTree tree_;
};

SealTree* g_tree = nullptr;

class SealTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (::geteuid() != 0) return;
    g_tree = new SealTree();
  }
  static void TearDownTestSuite() {
    delete g_tree;
    g_tree = nullptr;
  }

  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "--setup-keys needs root";
    ASSERT_EQ(g_tree->setup_status, 0) << g_tree->setup_out;
    ASSERT_FALSE(g_tree->key.empty()) << g_tree->setup_out;
    // A copy of the whole appliance tree to tamper with.
    copy_tree(g_tree->tree().root(), copy_.path(""));
  }

  std::string log_root() const { return copy_.path("logs"); }
  std::string state_dir() const { return copy_.path("mnt/data/conf/quillo"); }

  // The first file of a kind folder, below the copy's log root.
  std::string first_file(const std::string& folder) const {
    const std::vector<std::string> files = list_files(log_root() + "/" + folder);
    return files.empty() ? std::string() : folder + "/" + files.front();
  }

  RunResult verify(bool with_key = true) const {
    std::vector<std::string> args = {"--verify", "--root", log_root()};
    if (with_key) {
      args.push_back("--verify-key");
      args.push_back(g_tree->key);
    }
    return run(QUILLO_QUERY_PATH, args, copy_.path(""));
  }

  ApplianceTree copy_;
};

TEST_F(SealTest, SealedTreeVerifiesAndEveryTamperingIsNamed) {
  // Two months, two runs: every file sealed, nothing to report.
  RunResult r = verify();
  EXPECT_EQ(r.status, 0) << r.out << r.err << g_tree->daemon_err;
  EXPECT_THAT(r.out, Not(HasSubstr("changed")));
  EXPECT_THAT(r.out, Not(HasSubstr("not sealed")));
  EXPECT_THAT(r.out, Not(HasSubstr("not yet sealed")))
      << read_file(state_dir() + "/seal/records");
  EXPECT_EQ(list_files(log_root() + "/systemlog").size(), 2u);
  r = verify(false);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, HasSubstr("authenticity not checked"));
}

struct Tampering {
  const char* name;
  void (*apply)(const std::string& log_root, const std::string& file,
                const std::string& state_dir);
  const char* folder;   // the kind folder of the file tampered with
  const char* finding;  // after "<file>" in the report
};

void flip_byte(const std::string& root, const std::string& file,
               const std::string&) {
  std::vector<std::string> lines = file_lines(root + "/" + file);
  lines[2][22] ^= 0x01;
  write_lines(root + "/" + file, lines);
}
void delete_line(const std::string& root, const std::string& file,
                 const std::string&) {
  std::vector<std::string> lines = file_lines(root + "/" + file);
  lines.erase(lines.begin() + 3);
  write_lines(root + "/" + file, lines);
}
void insert_line(const std::string& root, const std::string& file,
                 const std::string&) {
  std::vector<std::string> lines = file_lines(root + "/" + file);
  lines.insert(lines.begin() + 4, lines[1]);
  write_lines(root + "/" + file, lines);
}
void swap_lines(const std::string& root, const std::string& file,
                const std::string&) {
  std::vector<std::string> lines = file_lines(root + "/" + file);
  std::swap(lines[1], lines[2]);
  write_lines(root + "/" + file, lines);
}
void truncate_file(const std::string& root, const std::string& file,
                   const std::string&) {
  std::vector<std::string> lines = file_lines(root + "/" + file);
  lines.resize(5);
  write_lines(root + "/" + file, lines);
}
void delete_file(const std::string& root, const std::string& file,
                 const std::string&) {
  fs::remove(root + "/" + file);
}
void plant_file(const std::string& root, const std::string& file,
                const std::string&) {
  const std::string planted =
      fs::path(root + "/" + file).parent_path().string() +
      "/access_20231114221500.csv";
  write_file(planted, "\xEF\xBB\xBF" "2023/11/14 22:15:00,x,h,i,open,ok,docs,f\r\n");
}
void delete_record(const std::string&, const std::string&,
                   const std::string& state) {
  const std::string all = read_file(state + "/seal/records");
  // Record 3 is the fourth line.
  std::size_t at = 0;
  for (int i = 0; i < 3; ++i) at = all.find('\n', at) + 1;
  const std::size_t end = all.find('\n', at) + 1;
  write_file(state + "/seal/records", all.substr(0, at) + all.substr(end));
}
void alter_record(const std::string&, const std::string&,
                  const std::string& state) {
  std::string all = read_file(state + "/seal/records");
  // The time of the third record, one second later.
  std::size_t at = 0;
  for (int i = 0; i < 2; ++i) at = all.find('\n', at) + 1;
  const std::size_t time_at = all.find(' ', all.find(' ', all.find(' ', at) + 1) + 1) + 1;
  all[time_at + 9] = all[time_at + 9] == '9' ? '8' : static_cast<char>(all[time_at + 9] + 1);
  write_file(state + "/seal/records", all);
}

// The holder of the current key (root, later) alters a file sealed in an
// earlier epoch and seals it again with that key: the earlier records
// still hold the old chain.
void reseal_with_stolen_key(const std::string& root, const std::string& file,
                            const std::string& state) {
  flip_byte(root, file, state);
  quillo::SealStore store(state);
  std::string error;
  ASSERT_TRUE(store.open(&error)) << error;
  std::optional<quillo::SealKeyState> stolen = store.load_key(&error);
  ASSERT_TRUE(stolen) << error;
  quillo::Digest chain = quillo::chain_start(file);
  std::string entries;
  std::uint64_t count = 0;
  for (const std::string& line : file_lines(root + "/" + file)) {
    chain = quillo::chain_next(chain, line);
    entries.append(reinterpret_cast<const char*>(chain.data()),
                   quillo::kChainEntryBytes);
    ++count;
  }
  ASSERT_TRUE(store.truncate_chain(file, 0, &error)) << error;
  ASSERT_TRUE(store.append_chain(file, entries, &error)) << error;
  quillo::SealRecord record;
  record.seq = stolen->next_seq;
  record.epoch = stolen->epoch;
  record.time = ::time(nullptr);
  record.type = quillo::SealType::kSeal;
  record.file = file;
  record.lines = count;
  record.chain = chain;
  record.prev = stolen->prev;
  const std::string line = quillo::format_seal_record(&record, stolen->key);
  ASSERT_TRUE(store.append_records({line}, &error)) << error;
}

class SealTamperTest : public SealTest,
                       public ::testing::WithParamInterface<Tampering> {};

TEST_P(SealTamperTest, IsReportedWithItsFileAndLine) {
  const Tampering& t = GetParam();
  const std::string file = first_file(t.folder);
  ASSERT_FALSE(file.empty());
  t.apply(log_root(), file, state_dir());
  const RunResult r = verify();
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  if (t.finding[0] == 's') {
    EXPECT_THAT(r.out, HasSubstr(t.finding)) << r.out << r.err;
  } else {
    std::string pattern;
    for (const char c : file) {
      if (c == '.') pattern += '\\';
      pattern += c;
    }
    EXPECT_THAT(r.out, ContainsRegex(pattern + t.finding)) << r.out << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SealTamperTest,
    ::testing::Values(
        Tampering{"FlippedByte", flip_byte, "accesslog", ":3: changed"},
        Tampering{"DeletedLine", delete_line, "systemlog", ":4: changed"},
        Tampering{"InsertedLine", insert_line, "systemlog", ":5: changed"},
        Tampering{"SwappedLines", swap_lines, "accesslog", ":2: changed"},
        Tampering{"Truncated", truncate_file, "systemlog",
                  ": truncated \\(5 of [0-9]+ sealed lines\\)"},
        Tampering{"DeletedFile", delete_file, "systemlog", ": deleted"},
        Tampering{"DeletedRecord", delete_record, "systemlog",
                  "seal records: record 3 missing"},
        Tampering{"AlteredRecord", alter_record, "systemlog",
                  "seal records: record 2 fails its epoch's key"},
        // The chain list is the attacker's too: the line is the first
        // sealed count that no longer matches.
        Tampering{"ResealedWithStolenKey", reseal_with_stolen_key,
                  "accesslog", ":[0-9]+: changed"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SealTest, PlantedFileIsNotSealedAndTailLinesAreOnlyAWarning) {
  const std::string file = first_file("accesslog");
  ASSERT_FALSE(file.empty());
  plant_file(log_root(), file, state_dir());
  RunResult r = verify();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_THAT(r.out, HasSubstr("access_20231114221500.csv: not sealed"));
  fs::remove(fs::path(log_root() + "/" + file).parent_path() /
             "access_20231114221500.csv");
  // Lines after the file's last seal (a daemon killed before its epoch
  // ended) are a warning, not tampering.
  const std::string path = log_root() + "/" + file;
  std::vector<std::string> lines = file_lines(path);
  lines.push_back(lines.back());
  write_lines(path, lines);
  r = verify();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, HasSubstr(file + ": 1 lines not yet sealed"));
}

// Files the retention rule deletes get tombstones: the tree verifies clean
// without them.
TEST(SealRetentionTest, DeletedByAutoDeleteIsNotTampering) {
  if (::geteuid() != 0) GTEST_SKIP() << "--setup-keys needs root";
  setenv("TZ", "UTC", 1);
  setenv("QUILLO_SEAL_EPOCH_SECONDS", "3600", 1);
  ApplianceTree tree;
  tree.write_config(tree.default_config_body() + kSealConf);
  const RunResult keys = run(QUILLO_QUERY_PATH, {"--setup-keys"}, tree.root());
  ASSERT_EQ(keys.status, 0) << keys.out << keys.err;
  const std::size_t at = keys.out.find("verification key: ");
  ASSERT_NE(at, std::string::npos);
  const std::string key =
      keys.out.substr(at + 18, keys.out.find('\n', at) - at - 18);
  {
    Daemon daemon(tree);
    ASSERT_TRUE(daemon.wait_ready());
    send_rows(tree, 0, 4);  // 2023: long expired
    daemon.signal(SIGTERM);  // the stop seals
    ASSERT_EQ(daemon.wait_exit(std::chrono::seconds(20)), 128 + SIGTERM);
  }
  // Auto-delete on, with any free space counting as low.
  std::string body = tree.default_config_body() + kSealConf;
  const std::string off = "<eventlogconf enable=\"true\"><autodelete enable=\"false\">"
                          "<expire><days>30</days><percent>5</percent>";
  const std::size_t cut = body.find(off);
  ASSERT_NE(cut, std::string::npos);
  body.replace(cut, off.size(),
               "<eventlogconf enable=\"true\"><autodelete enable=\"true\">"
               "<expire><days>30</days><percent>100</percent>");
  tree.write_config(body);
  {
    Daemon daemon(tree);
    ASSERT_TRUE(daemon.wait_ready());
    const std::string now = std::to_string(::time(nullptr));
    send_frame(tree, system_frame(now.c_str(), "today", "b", "c"));
    daemon.signal(SIGTERM);
    ASSERT_EQ(daemon.wait_exit(std::chrono::seconds(20)), 128 + SIGTERM);
  }
  unsetenv("QUILLO_SEAL_EPOCH_SECONDS");
  // November's file went; December's was still the one being written.
  const std::vector<std::string> left =
      list_files(tree.log_root() + "/systemlog");
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].substr(0, 7), "202312/");
  const std::string records = read_file(tree.state_dir() + "/seal/records");
  EXPECT_THAT(records, HasSubstr(" tombstone systemlog/202311/"));
  const RunResult r = run(QUILLO_QUERY_PATH,
                          {"--verify", "--verify-key", key, "--root",
                           tree.log_root()},
                          tree.root());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_THAT(r.out, Not(HasSubstr("deleted")));
}

// With forwarding on, each seal record also goes to the collector, as a
// message of its own whose MSG is the record's line.
TEST(SealForwardTest, RecordsReachTheCollector) {
  if (::geteuid() != 0) GTEST_SKIP() << "--setup-keys needs root";
  if (Collector::program().empty()) GTEST_SKIP() << "rsyslogd is not installed";
  setenv("QUILLO_SEAL_EPOCH_SECONDS", "1", 1);
  setenv("QUILLO_FORWARD_BACKOFF_MAX", "1", 1);
  ApplianceTree tree;
  Collector collector(tree.path("rsyslog"));
  ASSERT_TRUE(collector.start());
  tree.write_config(
      tree.default_config_body() + kSealConf +
      "  <forwardconf enable=\"true\"><target><host>127.0.0.1</host><port>" +
      std::to_string(collector.port()) +
      "</port><protocol>tcp</protocol></target>"
      "<kinds system=\"false\" access=\"false\" alert=\"false\"/>"
      "</forwardconf>\n");
  ASSERT_EQ(run(QUILLO_QUERY_PATH, {"--setup-keys"}, tree.root()).status, 0);
  {
    Daemon daemon(tree);
    ASSERT_TRUE(daemon.wait_ready());
    send_rows(tree, 0, 2);
    // The start record, the seals of the first epoch and a heartbeat.
    EXPECT_GE(collector.wait_lines(4, std::chrono::seconds(30)).size(), 4u);
    daemon.signal(SIGTERM);
    ASSERT_EQ(daemon.wait_exit(std::chrono::seconds(20)), 128 + SIGTERM);
  }
  unsetenv("QUILLO_SEAL_EPOCH_SECONDS");
  unsetenv("QUILLO_FORWARD_BACKOFF_MAX");
  const std::string records = read_file(tree.state_dir() + "/seal/records");
  const std::vector<std::string> got = collector.lines();
  ASSERT_FALSE(got.empty());
  // No row went (every kind is off); each message is one record.
  for (const std::string& message : got) {
    const std::size_t at = message.find(" seal - v1 ");
    ASSERT_NE(at, std::string::npos) << message;
    EXPECT_THAT(records, HasSubstr(message.substr(at + 8) + "\n"));
  }
  EXPECT_THAT(got.front(), HasSubstr(" seal - v1 0 0 "));
}

}  // namespace
}  // namespace quillo_test
