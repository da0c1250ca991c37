#include "query/seal_verify.h"

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "query/query_options.h"
#include "seal/seal_record.h"
#include "seal/seal_store.h"
#include "testing/temp_tree.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

constexpr char kA[] = "accesslog/202612/access_20261209101500.csv";
constexpr char kB[] = "accesslog/202612/access_20261209111500.csv";
constexpr char kSys[] = "systemlog/202612/system_20261209100000.csv";
constexpr char kGone[] = "alertlog/202611/alert_20261130230000.csv";
constexpr char kNoKey[] =
    "authenticity not checked: no --verify-key (the chains were checked)";

SealKey test_k0() {
  SealKey k{};
  for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(i + 1);
  return k;
}

// Line `i` of a file as the daemon stores it, CR LF included.
std::string row(int i) {
  return "2026/12/09 10:15:" + std::string(i < 10 ? "0" : "") +
         std::to_string(i) + ",alice,pc1,10.0.0.1,read,ok,share,/f" +
         std::to_string(i) + "\r\n";
}

// A file's lines, each with its CR LF (the last may lack it), and back.
std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    end = end == std::string::npos ? text.size() : end + 2;
    out.push_back(text.substr(start, end - start));
    start = end;
  }
  return out;
}
std::string join(const std::vector<std::string>& parts, const char* sep = "") {
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : sep) + p;
  return out;
}

struct Finding {
  std::vector<std::string> lines;
  int status;
};

class IgnoreObserver final : public ReadObserver {
 public:
  void entry_left_out(const std::string&, std::string_view) override {}
  void line_left_out(const std::string&, int64_t, std::string_view) override {}
};

// A log tree and its sealing state as the daemon leaves them: three epochs
// of records over an access file sealed twice, one sealed once whose last
// line has no CR LF yet, a system file, and an alert file the retention
// rule deleted (a tombstone).
class SealedTree {
 public:
  SealedTree() : store_(tree_.dir("state")) {
    tree_.dir("log");
    std::string error;
    if (!store_.create(k0_, &error) || !store_.open(&error)) {
      throw std::runtime_error(error);
    }
    add(SealType::kStart, "-", 0);
    write_file(kA, {row(1), row(2), row(3)});
    add(SealType::kSeal, kA, 3);
    write_file(kSys, {row(1), row(2)});
    add(SealType::kSeal, kSys, 2);
    add(SealType::kHeartbeat, "-", 0);
    ++epoch_;
    write_file(kA, {row(4), row(5)});
    add(SealType::kSeal, kA, 5);
    write_file(kB, {row(1), row(2), row(3), "2026/12/09 11:15:04,bob"});
    add(SealType::kSeal, kB, 4);
    write_file(kGone, {row(1), row(2)});
    add(SealType::kSeal, kGone, 2);
    ++epoch_;
    add(SealType::kTombstone, kGone, 2);
    std::remove(log(kGone).c_str());
    store_.remove_chain(kGone);
    write_file(kSys, {row(3)});
    add(SealType::kSeal, kSys, 3);
  }

  std::string log(const std::string& name) const {
    return tree_.file("log/" + name);
  }
  const SealKey& k0() const { return k0_; }

  // Appends lines to the file `name` and its chain list, as the daemon
  // writes them.
  void write_file(const std::string& name, const std::vector<std::string>& add) {
    std::string text = tree_.read("log/" + name);
    if (text == "<missing>") text.clear();
    Digest& chain = chains_.try_emplace(name, chain_start(name)).first->second;
    std::string entries;
    for (std::size_t i = 0; i < add.size(); ++i) {
      const std::string line = (text.empty() && i == 0 ? "\xEF\xBB\xBF" : "") + add[i];
      chain = chain_next(chain, line);
      entries.append(reinterpret_cast<const char*>(chain.data()), kChainEntryBytes);
      text += line;
    }
    tree_.write("log/" + name, text);
    std::string error;
    if (!store_.append_chain(name, entries, &error)) throw std::runtime_error(error);
  }

  // Appends a record of the current epoch; a seal or tombstone names the
  // chain the file has now.
  void add(SealType type, const std::string& file, uint64_t lines) {
    SealRecord r;
    r.seq = seq_++;
    r.epoch = epoch_;
    r.time = 1796811300 + static_cast<int64_t>(r.seq);
    r.type = type;
    r.file = file;
    r.lines = lines;
    if (file != "-") r.chain = chains_.at(file);
    r.prev = prev_;
    const std::string line = format_seal_record(&r, epoch_key(k0_, epoch_));
    prev_ = sha256(line);
    std::string error;
    if (!store_.append_records({line}, &error)) throw std::runtime_error(error);
  }

  std::vector<std::string> records() const {
    std::vector<std::string> lines;
    std::string error;
    store_.read_records(&lines, &error);
    return lines;
  }
  void set_records(const std::vector<std::string>& lines) {
    tree_.write("state/seal/records", join(lines, "\n") + "\n");
  }
  std::vector<std::string> file_lines(const std::string& name) const {
    return split_lines(tree_.read("log/" + name));
  }
  void set_file(const std::string& name, const std::vector<std::string>& lines) {
    tree_.write("log/" + name, join(lines));
  }

  Finding verify(bool with_key, LogKind only = LogKind::kSystem,
                 bool one_kind = false, int64_t since = INT64_MIN) const {
    VerifyRequest request;
    request.log_root = tree_.file("log");
    request.state_dir = tree_.file("state");
    if (with_key) request.key = k0_;
    if (one_kind) request.kinds = {only};
    request.since = since;
    IgnoreObserver observer;
    const std::vector<SealFinding> found = verify_seals(request, observer);
    Finding out{{}, verify_exit_status(found)};
    for (const SealFinding& f : found) {
      out.lines.push_back((f.warning ? "warning " : "") + f.text);
    }
    return out;
  }

 private:
  quillo_test::TempTree tree_{"seal-verify"};
  SealKey k0_ = test_k0();
  SealStore store_;
  std::map<std::string, Digest> chains_;
  uint64_t seq_ = 0;
  uint64_t epoch_ = 0;
  Digest prev_{};
};

// The records as the daemon made them (seq: type epoch): 0 start 0,
// 1 seal A 0, 2 seal Sys 0, 3 heartbeat 0, 4 seal A 1, 5 seal B 1,
// 6 seal Gone 1, 7 tombstone Gone 2, 8 seal Sys 2.
struct TamperCase {
  const char* name;
  std::function<void(SealedTree&)> tamper;
  // "@A" stands for the log path of kA (likewise @B, @Sys, @C).
  std::vector<std::string> with_key;
  int status_with_key;
  std::vector<std::string> without_key;  // after kNoKey
  int status_without_key;
};

void PrintTo(const TamperCase& c, std::ostream* os) { *os << c.name; }

// A record line's space-separated fields, changed by `edit`, without a
// new MAC.
std::string edit_fields(const std::string& line,
                        const std::function<void(std::vector<std::string>&)>& edit) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t sp; (sp = line.find(' ', start)) != std::string::npos; start = sp + 1) {
    fields.push_back(line.substr(start, sp - start));
  }
  fields.push_back(line.substr(start));
  edit(fields);
  return join(fields, " ");
}

// Someone holding the key of epoch 2 (stolen from the appliance) rewrites
// the records from 4 on: A's seal of epoch 1 names a changed file, every
// later record is chained anew, all MACs made with K_2.
void forge_with_later_key(SealedTree& t) {
  std::vector<std::string> lines = t.records();
  std::vector<std::string> a = t.file_lines(kA);
  a[3] = row(44);
  t.set_file(kA, a);
  Digest chain = chain_start(kA);
  for (const std::string& line : a) chain = chain_next(chain, line);
  const SealKey stolen = epoch_key(t.k0(), 2);
  for (std::size_t i = 4; i < lines.size(); ++i) {
    SealRecord r = *parse_seal_record(lines[i]);
    if (i == 4) r.chain = chain;
    r.prev = sha256(lines[i - 1]);
    lines[i] = format_seal_record(&r, stolen);
  }
  t.set_records(lines);
}

class SealVerifyTest : public ::testing::TestWithParam<TamperCase> {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  // `expected` with @X replaced by the log path of X.
  std::vector<std::string> paths(const SealedTree& t,
                                 std::vector<std::string> expected) {
    const std::pair<const char*, std::string> names[] = {
        {"@A", kA}, {"@B", kB}, {"@Sys", kSys},
        {"@C", "alertlog/202612/alert_20261209120000.csv"}};
    for (std::string& e : expected) {
      for (const auto& n : names) {
        const std::size_t at = e.find(n.first);
        if (at != std::string::npos) e.replace(at, std::strlen(n.first), t.log(n.second));
      }
    }
    return expected;
  }
};

TEST_P(SealVerifyTest, ReportsWhatWasDone) {
  const TamperCase& c = GetParam();
  SealedTree t;
  if (c.tamper) c.tamper(t);
  const Finding with_key = t.verify(true);
  EXPECT_THAT(with_key.lines, ElementsAreArray(paths(t, c.with_key)));
  EXPECT_EQ(with_key.status, c.status_with_key);
  std::vector<std::string> without = c.without_key;
  without.insert(without.begin(), std::string("warning ") + kNoKey);
  const Finding without_key = t.verify(false);
  EXPECT_THAT(without_key.lines, ElementsAreArray(paths(t, without)));
  EXPECT_EQ(without_key.status, c.status_without_key);
}

const TamperCase kCases[] = {
    {"Untouched", nullptr, {}, 0, {}, 0},
    {"FlippedByte",
     [](SealedTree& t) {
       auto a = t.file_lines(kA);
       a[3][6] ^= 0x01;
       t.set_file(kA, a);
     },
     {"@A:4: changed"}, 1, {"@A:4: changed"}, 1},
    {"DeletedLine",
     [](SealedTree& t) {
       auto a = t.file_lines(kA);
       a.erase(a.begin() + 1);
       t.set_file(kA, a);
     },
     {"@A:2: changed"}, 1, {"@A:2: changed"}, 1},
    {"InsertedLine",
     [](SealedTree& t) {
       auto a = t.file_lines(kA);
       a.insert(a.begin() + 3, row(9));
       t.set_file(kA, a);
     },
     {"@A:4: changed"}, 1, {"@A:4: changed"}, 1},
    {"SwappedLines",
     [](SealedTree& t) {
       auto a = t.file_lines(kA);
       std::swap(a[3], a[4]);
       t.set_file(kA, a);
     },
     {"@A:4: changed"}, 1, {"@A:4: changed"}, 1},
    {"TruncatedFile",
     [](SealedTree& t) {
       auto a = t.file_lines(kA);
       a.resize(4);
       t.set_file(kA, a);
     },
     {"@A: truncated (4 of 5 sealed lines)"}, 1,
     {"@A: truncated (4 of 5 sealed lines)"}, 1},
    {"DeletedFile", [](SealedTree& t) { std::remove(t.log(kB).c_str()); },
     {"@B: deleted"}, 1, {"@B: deleted"}, 1},
    {"DeletedFileWithTombstone",
     [](SealedTree& t) {
       std::remove(t.log(kB).c_str());
       t.add(SealType::kTombstone, kB, 4);
     },
     {}, 0, {}, 0},
    {"PlantedFile",
     [](SealedTree& t) {
       t.set_file("alertlog/202612/alert_20261209120000.csv", {row(1)});
     },
     {"@C: not sealed"}, 1, {"@C: not sealed"}, 1},
    {"DeletedRecord",
     [](SealedTree& t) {
       auto r = t.records();
       r.erase(r.begin() + 4);
       t.set_records(r);
     },
     {"seal records: record 4 missing", "warning @A: 2 lines not yet sealed"}, 1,
     {"seal records: record 4 missing", "warning @A: 2 lines not yet sealed"}, 1},
    {"DeletedEpoch",
     [](SealedTree& t) {
       auto r = t.records();
       r.erase(r.begin() + 4, r.begin() + 7);
       t.set_records(r);
     },
     {"seal records: record 4 missing",
      "seal records: epochs 1-1 missing between records 3 and 7",
      "warning @A: 2 lines not yet sealed", "warning @B: 4 lines not yet sealed"},
     1,
     {"seal records: record 4 missing",
      "seal records: epochs 1-1 missing between records 3 and 7",
      "warning @A: 2 lines not yet sealed", "warning @B: 4 lines not yet sealed"},
     1},
    {"AlteredRecordField",
     [](SealedTree& t) {
       auto r = t.records();
       r[5] = edit_fields(r[5], [](auto& f) { f[3] = "1796811999"; });
       t.set_records(r);
     },
     {"seal records: record 5 fails its epoch's key",
      "seal records: record 6 does not follow record 5"},
     1, {"seal records: record 6 does not follow record 5"}, 1},
    {"RecordMadeWithLaterEpochsKey", forge_with_later_key,
     {"seal records: record 4 fails its epoch's key",
      "seal records: record 5 fails its epoch's key",
      "seal records: record 6 fails its epoch's key"},
     1, {}, 0},
    {"UnsealedTail",
     [](SealedTree& t) { t.write_file(kSys, {row(4), row(5)}); },
     {"warning @Sys: 2 lines not yet sealed"}, 0,
     {"warning @Sys: 2 lines not yet sealed"}, 0},
    {"NotSealedYet",
     [](SealedTree& t) {
       t.write_file("alertlog/202612/alert_20261209120000.csv", {row(1)});
     },
     {"warning @C: 1 lines not yet sealed"}, 0,
     {"warning @C: 1 lines not yet sealed"}, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, SealVerifyTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

TEST(SealVerifyRangeTest, ChecksOnlyTheFilesAskedFor) {
  setenv("TZ", "UTC", 1);
  tzset();
  SealedTree t;
  auto a = t.file_lines(kA);
  a[0][5] ^= 0x01;
  t.set_file(kA, a);
  std::remove(t.log(kB).c_str());
  // A is named 10:15:00, B 11:15:00: from 11:00 only B's loss shows.
  EXPECT_THAT(t.verify(true, LogKind::kSystem, false, 1796814000).lines,
              ElementsAre(t.log(kB) + ": deleted"));
  EXPECT_THAT(t.verify(true, LogKind::kSystem, true).lines, ElementsAre());
  EXPECT_THAT(t.verify(true, LogKind::kAccess, true).lines,
              ElementsAre(t.log(kA) + ":1: changed", t.log(kB) + ": deleted"));
}

TEST(SealVerifyStateTest, MissingStateIsAnError) {
  quillo_test::TempTree tree;
  VerifyRequest request;
  request.log_root = tree.dir("log");
  request.state_dir = tree.dir("state");
  IgnoreObserver observer;
  try {
    verify_seals(request, observer);
    FAIL() << "no SealError";
  } catch (const SealError& e) {
    EXPECT_EQ(std::string(e.what()), "no sealing state in " + request.state_dir +
                                         "; run quillo-query --setup-keys");
  }
}

TEST(SealSetupTest, ShowsTheKeyOnceAndRefusesASecondSetup) {
  quillo_test::TempTree tree;
  const std::string state = tree.dir("state");
  const std::string text = setup_seal_keys(state);
  ASSERT_EQ(text.compare(0, 18, "verification key: "), 0) << text;
  const std::size_t end = text.find('\n');
  const std::optional<SealKey> k0 =
      parse_verification_key(text.substr(18, end - 18));
  ASSERT_TRUE(k0.has_value()) << text;
  EXPECT_EQ(text.substr(end + 1),
            "Keep this key off the appliance (a password manager, paper); "
            "quillo-query --verify --verify-key KEY checks the logs with it.\n");
  SealStore store(state);
  std::string error;
  ASSERT_TRUE(store.open(&error)) << error;
  const std::optional<SealKeyState> key = store.load_key(&error);
  ASSERT_TRUE(key.has_value()) << error;
  EXPECT_EQ(key->epoch, 0u);
  EXPECT_TRUE(key->key == *k0);
  EXPECT_THROW(setup_seal_keys(state), SealError);
  EXPECT_NE(setup_seal_keys(tree.dir("other")), text);  // a new key each time
}

struct OptionCase {
  std::vector<std::string> args;
  const char* error;  // a part of the UsageError's text; null: accepted
};

void PrintTo(const OptionCase& c, std::ostream* os) {
  *os << join(c.args, " ");
}

class SealOptionsTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(SealOptionsTest, CombineOnlyWithTheirOwn) {
  const OptionCase& c = GetParam();
  if (c.error == nullptr) {
    EXPECT_NO_THROW(parse_query_options(c.args, 0));
    return;
  }
  try {
    parse_query_options(c.args, 0);
    FAIL() << "accepted";
  } catch (const UsageError& e) {
    EXPECT_THAT(e.what(), HasSubstr(c.error));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SealOptionsTest,
    ::testing::Values(
        OptionCase{{"--setup-keys"}, nullptr},
        OptionCase{{"--verify", "--verify-key=qv1-x", "--kind", "alert",
                    "--since", "2026-12-01", "--until", "today", "--root", "/l"},
                   nullptr},
        OptionCase{{"--setup-keys", "--root", "/l"}, "takes no other option"},
        OptionCase{{"--verify", "--output", "json"}, "--output does not combine"},
        OptionCase{{"--verify", "-f"}, "--follow does not combine"},
        OptionCase{{"--user", "bob", "--verify"}, "--user does not combine"},
        OptionCase{{"--verify-key", "k"}, "--verify-key needs --verify"},
        OptionCase{{"--verify", "--setup-keys"}, "do not combine"},
        OptionCase{{"--verify=yes"}, "takes no value"}));

TEST(SealOptionsTest, VerifyTakesEveryKindUnlessOneIsNamed) {
  const QueryOptions all = parse_query_options({"--verify"}, 0);
  EXPECT_EQ(all.mode, Mode::kVerify);
  EXPECT_FALSE(all.has_kind);
  const QueryOptions one =
      parse_query_options({"--verify", "--kind", "system", "--verify-key", "K"}, 0);
  EXPECT_TRUE(one.has_kind);
  EXPECT_EQ(one.kind, LogKind::kSystem);
  EXPECT_EQ(one.verify_key, "K");
}

}  // namespace
}  // namespace quillo
