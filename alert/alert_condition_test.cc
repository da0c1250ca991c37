#include "alert/alert_condition.h"

#include <stdlib.h>
#include <time.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "alert/alert_condition_test_util.h"

namespace quillo {
namespace {

using quillo_test::Access;
using quillo_test::At;
using quillo_test::Everything;
using quillo_test::kFri;
using quillo_test::kMon;
using quillo_test::kSat;
using quillo_test::kSun;
using quillo_test::kTue;
using quillo_test::kWed;
using quillo_test::Matches;

// All times are judged in a fixed zone nine hours east of UTC, so a
// UTC-based reading of the clock would put them on the wrong hour.
class FixedZone : public testing::Environment {
 public:
  void SetUp() override {
    setenv("TZ", "JST-9", 1);
    tzset();
  }
};
// gtest takes ownership of the environment.
const testing::Environment* const kZone =
    testing::AddGlobalTestEnvironment(new FixedZone);

struct MatchCase {
  const char* label;
  std::function<void(AlertCondition&)> condition;
  std::function<void(Access&)> access;
  bool expected;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.label; }

void OfficeHours(AlertCondition& i) {
  i.from_hour = 9;
  i.to_hour = 17;
  i.to_minute = 30;
}
void WeekendOnly(AlertCondition& i) { i.weekdays = 1u << 0 | 1u << 6; }
void WeekendOfficeHoursNot(AlertCondition& i) {
  WeekendOnly(i);
  OfficeHours(i);
  i.period_not = true;
}
void Users(AlertCondition& i, std::uint32_t flags,
           std::vector<std::string> names) {
  i.user_cond.flags = flags;
  i.user_cond.names = std::move(names);
}

const MatchCase kMatchCases[] = {
    {"BaseConditionMatches", [](AlertCondition&) {}, [](Access&) {}, true},
    // Period: both ends of the window are inside, seconds are ignored.
    {"WindowStartIncluded", OfficeHours,
     [](Access& a) { a.now = At(kMon, 9, 0); }, true},
    {"WindowEndIncluded", OfficeHours,
     [](Access& a) { a.now = At(kMon, 17, 30, 59); }, true},
    {"BeforeWindow", OfficeHours,
     [](Access& a) { a.now = At(kMon, 8, 59, 59); }, false},
    {"AfterWindow", OfficeHours, [](Access& a) { a.now = At(kMon, 17, 31); },
     false},
    {"EndOfDayWindowHolds2359", [](AlertCondition&) {},
     [](Access& a) { a.now = At(kSun, 23, 59); }, true},
    {"NoWindowAcrossMidnight",
     [](AlertCondition& i) {
       i.from_hour = 22;
       i.to_hour = 6;
     },
     [](Access& a) { a.now = At(kMon, 23, 0); }, false},
    {"NotOnWindowAcrossMidnightAlwaysPasses",
     [](AlertCondition& i) {
       i.from_hour = 22;
       i.to_hour = 6;
       i.period_not = true;
     },
     [](Access& a) { a.now = At(kMon, 23, 0); }, true},
    {"WeekdayNotSelected", WeekendOnly,
     [](Access& a) { a.now = At(kMon, 10, 0); }, false},
    {"SaturdaySelected", WeekendOnly,
     [](Access& a) { a.now = At(kSat, 10, 0); }, true},
    {"SundaySelected", WeekendOnly, [](Access& a) { a.now = At(kSun, 0, 0); },
     true},
    {"NoWeekdays", [](AlertCondition& i) { i.weekdays = 0; }, [](Access&) {},
     false},
    {"NoWeekdaysWithNot",
     [](AlertCondition& i) {
       i.weekdays = 0;
       i.period_not = true;
     },
     [](Access&) {}, true},
    {"NotPassesOnWorkday", WeekendOfficeHoursNot,
     [](Access& a) { a.now = At(kWed, 12, 0); }, true},
    {"NotFailsInsideWeekendWindow", WeekendOfficeHoursNot,
     [](Access& a) { a.now = At(kSat, 12, 0); }, false},
    {"NotPassesOutsideWeekendWindow", WeekendOfficeHoursNot,
     [](Access& a) { a.now = At(kSun, 8, 0); }, true},
    // Users.
    {"AllUsers", [](AlertCondition& i) { Users(i, MatchFlag::All, {}); },
     [](Access& a) { a.user = "anyone"; }, true},
    {"AllAndNotUsers",
     [](AlertCondition& i) {
       Users(i, MatchFlag::All | MatchFlag::Not, {"alice"});
     },
     [](Access&) {}, false},
    {"NameLowerCased",
     [](AlertCondition& i) {
       Users(i, 0, {"bob", "Admin"});
     },
     [](Access& a) { a.user = "admin"; }, true},
    {"NameIsWholeWord", [](AlertCondition& i) { Users(i, 0, {"Admin"}); },
     [](Access& a) { a.user = "administrator"; }, false},
    {"NamePrefixOfUser",
     [](AlertCondition& i) { Users(i, 0, {"administrator"}); },
     [](Access& a) { a.user = "admin"; }, false},
    {"NameFoldingIsAsciiOnly",
     [](AlertCondition& i) { Users(i, 0, {"JOS\xc3\x89"}); },
     [](Access& a) { a.user = "jos\xc3\xa9"; }, false},
    {"EmptyListFindsNoOne", [](AlertCondition& i) { Users(i, 0, {}); },
     [](Access&) {}, false},
    {"EmptyListWithNot",
     [](AlertCondition& i) { Users(i, MatchFlag::Not, {}); }, [](Access&) {},
     true},
    {"NotExcludesListedUser",
     [](AlertCondition& i) { Users(i, MatchFlag::Not, {"Alice"}); },
     [](Access&) {}, false},
    {"NotLetsOthersPass",
     [](AlertCondition& i) { Users(i, MatchFlag::Not, {"bob"}); },
     [](Access&) {}, true},
    // Host and address patterns.
    {"HostPrefix", [](AlertCondition& i) { i.host_cond.pattern = "PC*"; },
     [](Access& a) { a.host = "Pc-A"; }, true},
    {"HostTrailingStarNeedsByte",
     [](AlertCondition& i) { i.host_cond.pattern = "PC*"; },
     [](Access& a) { a.host = "PC"; }, false},
    {"HostStarNeedsNonEmpty",
     [](AlertCondition& i) { i.host_cond.pattern = "*"; },
     [](Access& a) { a.host = ""; }, false},
    {"HostLeadingStarMayBeEmpty",
     [](AlertCondition& i) { i.host_cond.pattern = "*01"; },
     [](Access& a) { a.host = "01"; }, true},
    {"HostNot",
     [](AlertCondition& i) {
       i.host_cond = {MatchFlag::Not, "PC*"};
     },
     [](Access& a) { a.host = "pc01"; }, false},
    {"HostNotOther",
     [](AlertCondition& i) {
       i.host_cond = {MatchFlag::Not, "PC*"};
     },
     [](Access& a) { a.host = "server"; }, true},
    {"EmptyHostPatternWithNot",
     [](AlertCondition& i) {
       i.host_cond = {MatchFlag::Not, ""};
     },
     [](Access&) {}, true},
    {"IpSubnet", [](AlertCondition& i) { i.ip_cond.pattern = "192.168.1.*"; },
     [](Access&) {}, true},
    {"IpIsText", [](AlertCondition& i) { i.ip_cond.pattern = "192.168.1.*"; },
     [](Access& a) { a.ip = "192.168.10.2"; }, false},
    {"IpNot",
     [](AlertCondition& i) {
       i.ip_cond = {MatchFlag::Not, "192.168.1.20"};
     },
     [](Access&) {}, false},
    // Operations: exact key, enabled.
    {"NoOperations", [](AlertCondition& i) { i.operations.clear(); },
     [](Access&) {}, false},
    {"OperationDisabled",
     [](AlertCondition& i) { i.operations["file_read"] = false; },
     [](Access&) {}, false},
    {"OperationCaseMatters", [](AlertCondition&) {},
     [](Access& a) { a.operation = "File_read"; }, false},
    {"OtherOperation", [](AlertCondition&) {},
     [](Access& a) { a.operation = "file_write"; }, false},
    // Result, share, path.
    {"ResultInCapitals",
     [](AlertCondition& i) { i.result_cond.pattern = "FAIL"; },
     [](Access& a) { a.result = "fail"; }, true},
    {"ResultOkNotFail",
     [](AlertCondition& i) { i.result_cond.pattern = "fail"; }, [](Access&) {},
     false},
    {"ShareMismatch", [](AlertCondition& i) { i.share_cond.pattern = "media"; },
     [](Access&) {}, false},
    {"PathPattern",
     [](AlertCondition& i) { i.path_cond.pattern = "docs/*.TXT"; },
     [](Access&) {}, true},
    {"PathMismatch", [](AlertCondition& i) { i.path_cond.pattern = "media/*"; },
     [](Access&) {}, false},
};

class AlertConditionMatchTest : public testing::TestWithParam<MatchCase> {};

TEST_P(AlertConditionMatchTest, Decides) {
  AlertCondition info = Everything();
  GetParam().condition(info);
  Access access;
  GetParam().access(access);
  EXPECT_EQ(Matches(info, access), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, AlertConditionMatchTest,
                         testing::ValuesIn(kMatchCases),
                         [](const testing::TestParamInfo<MatchCase>& p) {
                           return p.param.label;
                         });

TEST(AlertConditionTest, DefaultConditionMatchesNothing) {
  EXPECT_FALSE(Matches(AlertCondition(), Access()));
}

TEST(AlertConditionTest, CopiesAreIndependent) {
  AlertCondition original = Everything();
  AlertCondition copy;
  copy = original;
  copy.operations["file_read"] = false;
  EXPECT_TRUE(Matches(original, Access()));
  EXPECT_FALSE(Matches(copy, Access()));
}

// Equality decides which conditions keep their state across a reload.
TEST(AlertConditionTest, EqualOnlyWithSameNameAndEveryField) {
  const AlertCondition base = Everything();
  EXPECT_EQ(base, Everything());
  const std::function<void(AlertCondition&)> changes[] = {
      [](AlertCondition& c) { c.name = "other"; },
      [](AlertCondition& c) { c.period_not = true; },
      [](AlertCondition& c) { c.weekdays = 1; },
      [](AlertCondition& c) { c.from_hour = 1; },
      [](AlertCondition& c) { c.from_minute = 1; },
      [](AlertCondition& c) { c.to_hour = 23; },
      [](AlertCondition& c) { c.to_minute = 1; },
      [](AlertCondition& c) { c.user_cond.flags = 0; },
      [](AlertCondition& c) { c.user_cond.names = {"a"}; },
      [](AlertCondition& c) { c.host_cond.pattern = "h"; },
      [](AlertCondition& c) { c.ip_cond.flags = MatchFlag::Not; },
      [](AlertCondition& c) { c.result_cond.pattern = "ok"; },
      [](AlertCondition& c) { c.share_cond.pattern = "s"; },
      [](AlertCondition& c) { c.path_cond.pattern = "p"; },
      [](AlertCondition& c) { c.operations["file_read"] = false; },
      [](AlertCondition& c) { c.operations["file_write"] = true; },
  };
  for (const auto& change : changes) {
    AlertCondition changed = base;
    change(changed);
    EXPECT_NE(changed, base);
  }
}

}  // namespace
}  // namespace quillo
