#include "query/seal_verify.h"

#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>
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
using Lines = std::vector<std::string>;

const std::map<std::string, std::string> kFiles = {
    {"@A", "accesslog/202612/access_20261209101500.csv"},
    {"@B", "accesslog/202612/access_20261209111500.csv"},
    {"@Sys", "systemlog/202612/system_20261209100000.csv"},
    {"@Gone", "alertlog/202611/alert_20261130230000.csv"},
    {"@New", "alertlog/202612/alert_20261209120000.csv"}};
const std::string& file(const char* tag) { return kFiles.at(tag); }

// Line `i` of a log file as the daemon stores it.
std::string row(int i) {
  return "2026/12/09 10:15:" + std::to_string(10 + i) +
         ",alice,pc1,10.0.0.1,read,ok,share,/f" + std::to_string(i) + "\r\n";
}

// Text cut after each `sep` (the last piece may lack it), and back.
Lines split(const std::string& text, const std::string& sep) {
  Lines out;
  for (std::size_t at = 0, end; at < text.size(); at = end) {
    end = text.find(sep, at);
    end = end == std::string::npos ? text.size() : end + sep.size();
    out.push_back(text.substr(at, end - at));
  }
  return out;
}
std::string join(const Lines& parts) {
  std::string out;
  for (const std::string& p : parts) out += p;
  return out;
}

class QuietObserver final : public ReadObserver {
 public:
  void entry_left_out(const std::string&, std::string_view) override {}
  void line_left_out(const std::string&, int64_t, std::string_view) override {}
};

// A log tree and its sealing state as the daemon leaves them. Records
// (seq: type file lines, epoch): 0 start, 1 seal A 3, 2 seal Sys 2,
// 3 heartbeat (epoch 0); 4 seal A 5, 5 seal B 4 (its last line without
// CR LF), 6 seal Gone 2 (epoch 1); 7 tombstone Gone (the file deleted),
// 8 seal Sys 3 (epoch 2).
class SealedTree {
 public:
  SealedTree() : store_(tree_.dir("state")) {
    tree_.dir("log");
    std::string error;
    if (!store_.create(k0_, &error) || !store_.open(&error)) {
      throw std::runtime_error(error);
    }
    add(SealType::kStart, "-", 0);
    seal("@A", {row(1), row(2), row(3)}, 3);
    seal("@Sys", {row(1), row(2)}, 2);
    add(SealType::kHeartbeat, "-", 0);
    ++epoch_;
    seal("@A", {row(4), row(5)}, 5);
    seal("@B", {row(1), row(2), row(3), "2026/12/09 11:15:04,bob"}, 4);
    seal("@Gone", {row(1), row(2)}, 2);
    ++epoch_;
    add(SealType::kTombstone, file("@Gone"), 2);
    std::remove(log("@Gone").c_str());
    store_.remove_chain(file("@Gone"));
    seal("@Sys", {row(3)}, 3);
  }

  std::string log(const char* tag) const {
    return tree_.file("log/" + file(tag));
  }
  const SealKey& k0() const { return k0_; }

  // Appends lines to a file and its chain list, as the daemon does.
  void write(const char* tag, const Lines& lines) {
    const std::string& name = file(tag);
    std::string text = tree_.read("log/" + name);
    if (text == "<missing>") text = "\xEF\xBB\xBF";
    Digest& chain = chains_.try_emplace(name, chain_start(name)).first->second;
    std::string entries;
    for (const std::string& line : lines) {
      const std::string stored = text == "\xEF\xBB\xBF" ? text + line : line;
      chain = chain_next(chain, stored);
      entries.append(reinterpret_cast<const char*>(chain.data()),
                     kChainEntryBytes);
      text += line;
    }
    tree_.write("log/" + name, text);
    std::string error;
    ASSERT_TRUE(store_.append_chain(name, entries, &error)) << error;
  }
  void seal(const char* tag, const Lines& lines, uint64_t total) {
    write(tag, lines);
    add(SealType::kSeal, file(tag), total);
  }

  // Appends a record of the current epoch; a file's has its chain now.
  void add(SealType type, const std::string& name, uint64_t lines) {
    SealRecord r;
    r.seq = seq_++;
    r.epoch = epoch_;
    r.time = 1796811300 + static_cast<int64_t>(r.seq);
    r.type = type;
    r.file = name;
    r.lines = lines;
    if (name != "-") r.chain = chains_.at(name);
    r.prev = prev_;
    const std::string line = format_seal_record(&r, epoch_key(k0_, epoch_));
    prev_ = sha256(line);
    std::string error;
    ASSERT_TRUE(store_.append_records({line}, &error)) << error;
  }

  // Rewrites the record file or a log file, line by line.
  void edit_records(const std::function<void(Lines&)>& edit) {
    Lines lines = split(tree_.read("state/seal/records"), "\n");
    edit(lines);
    tree_.write("state/seal/records", join(lines));
  }
  void edit_file(const char* tag, const std::function<void(Lines&)>& edit) {
    Lines lines = split(tree_.read("log/" + file(tag)), "\r\n");
    edit(lines);
    tree_.write("log/" + file(tag), join(lines));
  }

  // The findings ("warning " before a warning's) and the exit status.
  std::pair<Lines, int> verify(
      bool with_key,
      const std::function<void(VerifyRequest&)>& ask = nullptr) const {
    VerifyRequest request;
    request.log_root = tree_.file("log");
    request.state_dir = tree_.file("state");
    if (with_key) request.key = k0_;
    if (ask) ask(request);
    QuietObserver observer;
    const std::vector<SealFinding> found = verify_seals(request, observer);
    Lines out;
    for (const SealFinding& f : found) {
      out.push_back((f.warning ? "warning " : "") + f.text);
    }
    return {out, verify_exit_status(found)};
  }

 private:
  quillo_test::TempTree tree_{"seal-verify"};
  SealKey k0_{1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
              17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
  SealStore store_;
  std::map<std::string, Digest> chains_;
  uint64_t seq_ = 0;
  uint64_t epoch_ = 0;
  Digest prev_{};
};

// Someone with the key of epoch 2, taken from the appliance, changes line
// 4 of A and rewrites the records from A's seal of epoch 1 on: A's chain
// anew, every record chained to the one before, every MAC made with K_2.
void forge_with_later_key(SealedTree& t) {
  t.edit_file("@A", [](Lines& a) { a[3] = row(44); });
  Digest chain = chain_start(file("@A"));
  t.edit_file("@A", [&](Lines& a) {
    for (const std::string& line : a) chain = chain_next(chain, line);
  });
  const SealKey stolen = epoch_key(t.k0(), 2);
  t.edit_records([&](Lines& lines) {
    for (std::size_t i = 4; i < lines.size(); ++i) {
      SealRecord r =
          *parse_seal_record(lines[i].substr(0, lines[i].size() - 1));
      if (i == 4) r.chain = chain;
      r.prev = sha256(lines[i - 1].substr(0, lines[i - 1].size() - 1));
      lines[i] = format_seal_record(&r, stolen) + "\n";
    }
  });
}

// A file of 3000 lines, sealed: the second 256 KiB read starts with the
// LF of line 2622 (the CR ends the first), and line 3 holds a lone LF.
void seal_long_file(SealedTree& t) {
  Lines lines(3000, std::string(98, 'b') + "\r\n");
  lines[0] = std::string(40, 'a') + "\r\n";
  lines[2][7] = '\n';
  t.seal("@New", lines, 3000);
}

// `findings`: what --verify prints with the key, "@X" for the path of
// file X, "warning " before a warning; those after "key:" only with the
// key. Without the key the note that authenticity was not checked comes
// first.
struct TamperCase {
  const char* name;
  std::function<void(SealedTree&)> tamper;
  Lines findings;
};

void PrintTo(const TamperCase& c, std::ostream* os) { *os << c.name; }

class SealVerifyTest : public ::testing::TestWithParam<TamperCase> {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  static std::pair<Lines, int> expected(const SealedTree& t, bool with_key) {
    Lines out;
    if (!with_key) {
      out.push_back(
          "warning authenticity not checked: no --verify-key (the "
          "chains were checked)");
    }
    int status = 0;
    for (std::string line : GetParam().findings) {
      if (line.compare(0, 4, "key:") == 0) {
        if (!with_key) continue;
        line.erase(0, 4);
      }
      const std::size_t at = line.find('@');
      if (at != std::string::npos) {
        const std::size_t end = line.find_first_of(": ", at);
        line.replace(at, end - at, t.log(line.substr(at, end - at).c_str()));
      }
      if (line.compare(0, 8, "warning ") != 0) status = 1;
      out.push_back(line);
    }
    return {out, status};
  }
};

TEST_P(SealVerifyTest, ReportsWhatWasDone) {
  SealedTree t;
  if (GetParam().tamper) GetParam().tamper(t);
  EXPECT_EQ(t.verify(true), expected(t, true));
  EXPECT_EQ(t.verify(false), expected(t, false));
}

const TamperCase kCases[] = {
    {"Untouched", nullptr, {}},
    {"FlippedByte",
     [](SealedTree& t) {
       t.edit_file("@A", [](Lines& a) { a[3][6] ^= 0x01; });
     },
     {"@A:4: changed"}},
    {"DeletedLine",
     [](SealedTree& t) {
       t.edit_file("@A", [](Lines& a) { a.erase(a.begin() + 1); });
     },
     {"@A:2: changed"}},
    {"InsertedLine",
     [](SealedTree& t) {
       t.edit_file("@A", [](Lines& a) { a.insert(a.begin() + 3, row(9)); });
     },
     {"@A:4: changed"}},
    {"SwappedLines",
     [](SealedTree& t) {
       t.edit_file("@A", [](Lines& a) { std::swap(a[3], a[4]); });
     },
     {"@A:4: changed"}},
    {"TruncatedFile",
     [](SealedTree& t) { t.edit_file("@A", [](Lines& a) { a.resize(4); }); },
     {"@A: truncated (4 of 5 sealed lines)"}},
    {"DeletedFile",
     [](SealedTree& t) { std::remove(t.log("@B").c_str()); },
     {"@B: deleted"}},
    {"DeletedFileWithTombstone",
     [](SealedTree& t) {
       std::remove(t.log("@B").c_str());
       t.add(SealType::kTombstone, file("@B"), 4);
     },
     {}},
    {"PlantedFile",
     [](SealedTree& t) { t.edit_file("@New", [](Lines& a) { a = {row(1)}; }); },
     {"@New: not sealed"}},
    {"DeletedRecord",
     [](SealedTree& t) {
       t.edit_records([](Lines& r) { r.erase(r.begin() + 4); });
     },
     {"seal records: record 4 missing", "warning @A: 2 lines not yet sealed"}},
    {"DeletedEpoch",
     [](SealedTree& t) {
       t.edit_records([](Lines& r) { r.erase(r.begin() + 4, r.begin() + 7); });
     },
     {"seal records: record 4 missing",
      "seal records: epochs 1-1 missing between records 3 and 7",
      "warning @A: 2 lines not yet sealed",
      "warning @B: 4 lines not yet sealed"}},
    {"AlteredRecordField",
     [](SealedTree& t) {
       t.edit_records([](Lines& r) {
         r[5].replace(r[5].find(" 1796811305 "), 12, " 1796811999 ");
       });
     },
     {"key:seal records: record 5 fails its epoch's key",
      "seal records: record 6 does not follow record 5"}},
    {"RecordMadeWithLaterEpochsKey",
     forge_with_later_key,
     {"key:seal records: record 4 fails its epoch's key",
      "key:seal records: record 5 fails its epoch's key",
      "key:seal records: record 6 fails its epoch's key"}},
    {"UnreadableRecord",
     [](SealedTree& t) { t.edit_records([](Lines& r) { r[3] = "v1 3 0\n"; }); },
     {"seal records: record line 4 unreadable",
      "seal records: record 4 does not follow record 3"}},
    {"LongFile", seal_long_file, {}},
    {"LongFileChangedAcrossReads",
     [](SealedTree& t) {
       seal_long_file(t);
       t.edit_file("@New", [](Lines& a) { a[2621][50] ^= 0x01; });
     },
     {"@New:2622: changed"}},
    {"UnsealedTail",
     [](SealedTree& t) {
       t.write("@Sys", {row(4), row(5)});
     },
     {"warning @Sys: 2 lines not yet sealed"}},
    {"FirstSealToCome",
     [](SealedTree& t) { t.write("@New", {row(1)}); },
     {"warning @New: 1 lines not yet sealed"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, SealVerifyTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

TEST(SealVerifyRangeTest, ChecksOnlyTheKindAndTimesAskedFor) {
  setenv("TZ", "UTC", 1);
  tzset();
  SealedTree t;
  t.edit_file("@A", [](Lines& a) { a[0][5] ^= 0x01; });
  std::remove(t.log("@B").c_str());
  // A's name says 10:15, B's 11:15.
  EXPECT_THAT(
      t.verify(true, [](VerifyRequest& r) { r.since = 1796814000; }).first,
      ElementsAre(t.log("@B") + ": deleted"));
  EXPECT_THAT(
      t.verify(true, [](VerifyRequest& r) { r.until = 1796814000; }).first,
      ElementsAre(t.log("@A") + ":1: changed"));
  EXPECT_THAT(
      t.verify(true, [](VerifyRequest& r) { r.kinds = {LogKind::kSystem}; })
          .first,
      ElementsAre());
}

TEST(SealVerifyStateTest, WithoutStateTellsToSetUpAndSetupRunsOnce) {
  quillo_test::TempTree tree;
  VerifyRequest request;
  request.log_root = tree.dir("log");
  request.state_dir = tree.file("conf/quillo");  // not made yet
  QuietObserver observer;
  try {
    verify_seals(request, observer);
    ADD_FAILURE() << "verified without a sealing state";
  } catch (const SealError& e) {
    EXPECT_EQ(std::string(e.what()), "no sealing state in " +
                                         request.state_dir +
                                         "; run quillo-query --setup-keys");
  }
  const Lines text = split(setup_seal_keys(request.state_dir), "\n");
  ASSERT_EQ(text.size(), 2u);
  ASSERT_EQ(text[0].compare(0, 18, "verification key: "), 0) << text[0];
  const std::optional<SealKey> k0 =
      parse_verification_key(text[0].substr(18, text[0].size() - 19));
  ASSERT_TRUE(k0.has_value()) << text[0];
  EXPECT_EQ(
      text[1],
      "Keep this key off the appliance (a password manager, paper); "
      "quillo-query --verify --verify-key KEY checks the logs with it.\n");
  EXPECT_THROW(setup_seal_keys(request.state_dir), SealError);
  // The records it will get verify with that key, and so far none is wrong.
  request.key = k0;
  EXPECT_THAT(verify_seals(request, observer), ElementsAre());
}

// A command line and a part of the UsageError it raises; null: accepted.
using OptionCase = std::pair<Lines, const char*>;

class SealOptionsTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(SealOptionsTest, CombineOnlyWithTheirOwn) {
  const auto& [args, error] = GetParam();
  if (error == nullptr) {
    EXPECT_NO_THROW(parse_query_options(args, 0));
  } else {
    try {
      parse_query_options(args, 0);
      ADD_FAILURE() << "accepted";
    } catch (const UsageError& e) {
      EXPECT_THAT(e.what(), HasSubstr(error));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SealOptionsTest,
    ::testing::Values(
        OptionCase{{"--setup-keys"}, nullptr},
        OptionCase{{"--verify", "--verify-key=k", "--kind", "alert", "--since",
                    "2026-12-01", "--until", "2026-12-31", "--root", "/l"},
                   nullptr},
        OptionCase{{"--setup-keys", "--root", "/l"}, "takes no other option"},
        OptionCase{{"--verify", "--output", "json"},
                   "--output does not combine"},
        OptionCase{{"--verify", "-f"}, "--follow does not combine"},
        OptionCase{{"--user", "bob", "--verify"}, "--user does not combine"},
        OptionCase{{"--verify-key", "k"}, "--verify-key needs --verify"},
        OptionCase{{"--verify", "--setup-keys"}, "do not combine"},
        OptionCase{{"--verify=yes"}, "takes no value"}));

TEST(SealOptionsTest, VerifyTakesEveryKindUnlessOneIsNamed) {
  const QueryOptions all = parse_query_options({"--verify"}, 0);
  EXPECT_EQ(all.mode, Mode::kVerify);
  EXPECT_FALSE(all.has_kind);
  const QueryOptions one = parse_query_options(
      {"--verify", "--kind", "system", "--verify-key", "K"}, 0);
  EXPECT_TRUE(one.has_kind);
  EXPECT_EQ(one.kind, LogKind::kSystem);
  EXPECT_EQ(one.verify_key, "K");
}

}  // namespace
}  // namespace quillo
