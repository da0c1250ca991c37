// The floor server is only a fair yardstick if it leaves exactly the bytes
// the daemon leaves: these tests hold FloorStore and floor_row against the
// daemon's own LogFile and row building.

#include "bench/floor_store.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/access_log.h"
#include "daemon/system_log.h"
#include "logstore/log_row.h"
#include "logstore/log_file.h"
#include "logstore/log_names.h"
#include "protocol/packet.h"
#include "testing/temp_tree.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void spit(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

// Every regular file below `dir`: relative path -> content.
std::map<std::string, std::string> tree(const fs::path& dir) {
  std::map<std::string, std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) {
      out[fs::relative(e.path(), dir).string()] = slurp(e.path());
    }
  }
  return out;
}

int64_t local_time(int year, int month, int day, int h, int m, int s) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = h;
  tm.tm_min = m;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&tm));
}

struct Line {
  FloorKind kind;
  int64_t t;
  std::string row;
};

// Two appliance trees side by side: one written by the daemon's LogFile,
// one by FloorStore.
class FloorStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* side : {"daemon", "floor"}) {
      temp_.dir(std::string(side) + "/logs");
      temp_.dir(std::string(side) + "/state");
    }
  }

  fs::path side(const char* name) const { return dir_ / name; }

  // Writes each line on both sides, checking both report the same result.
  void write_both(const std::vector<Line>& lines) {
    FloorStore floor((side("floor") / "logs").string(),
                     (side("floor") / "state").string());
    // One writer per kind for the whole run, as the daemon's log store
    // keeps them.
    quillo::LogFile system_log(quillo::LogKind::kSystem,
                               (side("daemon") / "logs").string(),
                               (side("daemon") / "state").string());
    quillo::LogFile access_log(quillo::LogKind::kAccess,
                               (side("daemon") / "logs").string(),
                               (side("daemon") / "state").string());
    for (const Line& l : lines) {
      quillo::LogFile& log =
          l.kind == FloorKind::System ? system_log : access_log;
      EXPECT_EQ(floor.write_line(l.kind, l.t, l.row),
                log.write_line(l.t, l.row))
          << l.row;
    }
  }

  void expect_same_trees() const {
    EXPECT_EQ(tree(side("floor")), tree(side("daemon")));
  }

  quillo_test::TempTree temp_{"floor-store-test"};
  fs::path dir_ = temp_.path();
};

TEST_F(FloorStoreTest, MonthChangesAndOlderLinesLeaveTheSameTree) {
  const int64_t dec = local_time(2026, 12, 31, 23, 59, 59);
  const int64_t jan = local_time(2027, 1, 1, 0, 0, 0);
  const int64_t nov = local_time(2026, 11, 5, 8, 0, 0);
  write_both({{FloorKind::Access, dec, "a,1"},
              {FloorKind::Access, dec, "a,2"},
              {FloorKind::System, dec, "s,1"},
              {FloorKind::Access, jan, "a,3"},
              {FloorKind::Access, nov, "a,older"},
              {FloorKind::Access, jan + 5, "a,4"},
              {FloorKind::System, jan + 7, "s,2"}});
  expect_same_trees();
  // Four access files (Dec, Jan, Nov, Jan again) and two system files.
  EXPECT_EQ(tree(side("floor") / "logs").size(), 6u);
}

TEST_F(FloorStoreTest, FullFileRollsOverAsTheDaemonDoes) {
  const int64_t t = local_time(2026, 12, 7, 9, 30, 15);
  const std::string name = "access_20261207080000.csv";
  for (const char* s : {"daemon", "floor"}) {
    fs::create_directories(side(s) / "logs/accesslog/202612");
    std::string lines = "\xEF\xBB\xBF";
    for (int i = 0; i < 65534; ++i) lines += "old\r\n";  // as the state says
    spit(side(s) / "logs/accesslog/202612" / name, lines);
    spit(side(s) / "state/access_info", name + "\n65534\n");
  }
  write_both({{FloorKind::Access, t, "last"}, {FloorKind::Access, t, "next"}});
  expect_same_trees();
  EXPECT_EQ(slurp(side("floor") / "state/access_info"),
            "access_20261207093015.csv\n1\n");
}

TEST_F(FloorStoreTest, RemovedCurrentFileStartsAgainWithByteOrderMark) {
  const int64_t t = local_time(2026, 12, 7, 9, 30, 15);
  write_both({{FloorKind::System, t, "one"}, {FloorKind::System, t, "two"}});
  for (const char* s : {"daemon", "floor"}) {
    fs::remove(side(s) / "logs/systemlog/202612/system_20261207093015.csv");
  }
  write_both({{FloorKind::System, t + 1, "three"}});
  expect_same_trees();
  EXPECT_EQ(slurp(side("floor") / "logs/systemlog/202612/"
                                  "system_20261207093015.csv"),
            "\xEF\xBB\xBFthree\r\n");
}

TEST_F(FloorStoreTest, StateWithoutStampStartsNewFile) {
  for (const char* s : {"daemon", "floor"}) {
    spit(side(s) / "state/access_info", "access_latest.csv\n12\n");
  }
  write_both({{FloorKind::Access, local_time(2026, 3, 1, 0, 0, 0), "x"}});
  expect_same_trees();
}

TEST_F(FloorStoreTest, MissingLogRootWritesNothing) {
  for (const char* s : {"daemon", "floor"}) fs::remove(side(s) / "logs");
  write_both({{FloorKind::Access, local_time(2026, 3, 1, 0, 0, 0), "x"}});
  expect_same_trees();
  EXPECT_TRUE(tree(side("floor")).empty());
}

// The daemon's row for a record, built the way its handlers build it.
std::string daemon_row(const quillo::RequestData& received, int64_t now) {
  std::string row;
  if (received.type_code() == 1) {
    const quillo::ReqSystemLog r(received);
    quillo::append_column(row, quillo::format_log_time(quillo::parse_record_time(r.time())));
    quillo::append_column(row, r.text1());
    quillo::append_column(row, r.text2());
    quillo::append_column(row, r.text3());
    return row;
  }
  const quillo::ReqAccessLog r(received);
  const quillo::AccessValues v = quillo::derive_access_values(r);
  for (const std::string& f :
       {quillo::format_log_time(now), v.user, std::string(r.host_name()),
        std::string(r.ip_address()), v.operation, v.result,
        std::string(r.share_name()), v.path}) {
    quillo::append_column(row, f);
  }
  return row;
}

std::string floor_row_of(const quillo::RequestData& r, int64_t now,
                         FloorKind* kind, int64_t* t) {
  std::string row;
  if (!floor_row(r.data.get(), r.size, now, kind, t, &row)) return "<none>";
  return row;
}

TEST(FloorRowTest, RowsEqualTheDaemonsRows) {
  const int64_t now = local_time(2026, 12, 7, 9, 30, 15);
  const std::vector<quillo::RequestData> records = {
      quillo::ReqAccessLog("USER01", "host1", "192.0.2.10", "open", 1, 0,
                           "share1", "r|docs/a.txt"),
      quillo::ReqAccessLog("Ünï", "h", "i", "write", 0, 13, "s", "w|docs"),
      quillo::ReqAccessLog("u", "h", "i", "open", 1, 0, "share1", "r|."),
      quillo::ReqAccessLog("u", "h", "i", "op", 0, 9999, "s", "r|w|x"),
      quillo::ReqAccessLog("u", "h", "i", "op", 1, 0, "s", "w|r|x"),
      quillo::ReqAccessLog("", "", "", "", 1, 0, "ipc$", "."),
      quillo::ReqAccessLog("a\r\nb", "h,1", "i", "op", 1, 0, "s", "p\n"),
      quillo::ReqSystemLog("1700000000", "alpha", "beta", "gamma"),
      quillo::ReqSystemLog("  -5x", "", "line\r\nbreak", "c,d"),
      quillo::ReqSystemLog("99999999999", "a", "b", "c"),
  };
  for (const auto& r : records) {
    FloorKind kind;
    int64_t t = 0;
    EXPECT_EQ(floor_row_of(r, now, &kind, &t), daemon_row(r, now));
    if (r.type_code() == 0) {
      EXPECT_EQ(kind, FloorKind::Access);
      EXPECT_EQ(t, now);
    } else {
      EXPECT_EQ(kind, FloorKind::System);
      EXPECT_EQ(t, quillo::parse_record_time(quillo::ReqSystemLog(r).time()));
    }
  }
}

TEST(FloorRowTest, GivesNoLineForIpcShareOrBrokenBodies) {
  FloorKind kind;
  int64_t t;
  const quillo::ReqAccessLog ipc("u", "h", "i", "op", 1, 0, "IPC$", "p");
  EXPECT_EQ(floor_row_of(ipc, 0, &kind, &t), "<none>");
  const quillo::ReqSystemLog sys("1", "a", "b", "c");
  // Cut inside the last entry, and a type other than 0 and 1.
  quillo::RequestData cut(sys);
  cut.size = static_cast<unsigned short>(cut.size - 1);
  EXPECT_EQ(floor_row_of(cut, 0, &kind, &t), "<none>");
  quillo::RequestData other(sys);
  other.data[3] = 7;
  EXPECT_EQ(floor_row_of(other, 0, &kind, &t), "<none>");
}

}  // namespace
