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

#include "config/config_test_util.h"
#include "config/config_xml.h"
#include "support/xml/dom.h"

namespace quillo {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::Pair;

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

// Monday 2024-01-01 00:00 in that zone.
constexpr std::int64_t kMonday = 1704067200 - 9 * 3600;
enum Day { kMon, kTue, kWed, kThu, kFri, kSat, kSun };

std::int64_t At(Day day, int hour, int minute, int second = 0) {
  return kMonday + std::int64_t{day} * 86400 + hour * 3600 + minute * 60 +
         second;
}

struct Access {
  std::int64_t now = At(kMon, 10, 0);
  std::string user = "alice";
  std::string host = "pc01";
  std::string ip = "192.168.1.20";
  std::string operation = "file_read";
  std::string result = "ok";
  std::string share = "docs";
  std::string path = "docs/a.txt";
};

// A condition that every part of the default Access passes.
AlertCondition Everything() {
  AlertCondition info;
  info.name = "all";
  info.weekdays = 0x7f;
  info.to_hour = 24;
  info.user_cond.flags = MatchFlag::All;
  info.operations["file_read"] = true;
  return info;
}

bool Matches(const AlertCondition& info, const Access& a) {
  return info.matches(a.now, a.user, a.host, a.ip, a.operation, a.result,
                      a.share, a.path);
}

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
void Users(AlertCondition& i, std::uint32_t flags, std::vector<std::string> names) {
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
    {"NoWeekdays", [](AlertCondition& i) { i.weekdays = 0; }, [](Access&) {}, false},
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
     [](AlertCondition& i) { Users(i, MatchFlag::All | MatchFlag::Not, {"alice"}); },
     [](Access&) {}, false},
    {"NameLowerCased",
     [](AlertCondition& i) {
       Users(i, 0, {"bob", "Admin"});
     },
     [](Access& a) { a.user = "admin"; }, true},
    {"NameIsWholeWord", [](AlertCondition& i) { Users(i, 0, {"Admin"}); },
     [](Access& a) { a.user = "administrator"; }, false},
    {"NamePrefixOfUser", [](AlertCondition& i) { Users(i, 0, {"administrator"}); },
     [](Access& a) { a.user = "admin"; }, false},
    {"NameFoldingIsAsciiOnly",
     [](AlertCondition& i) { Users(i, 0, {"JOS\xc3\x89"}); },
     [](Access& a) { a.user = "jos\xc3\xa9"; }, false},
    {"EmptyListFindsNoOne", [](AlertCondition& i) { Users(i, 0, {}); },
     [](Access&) {}, false},
    {"EmptyListWithNot", [](AlertCondition& i) { Users(i, MatchFlag::Not, {}); },
     [](Access&) {}, true},
    {"NotExcludesListedUser",
     [](AlertCondition& i) { Users(i, MatchFlag::Not, {"Alice"}); }, [](Access&) {},
     false},
    {"NotLetsOthersPass",
     [](AlertCondition& i) { Users(i, MatchFlag::Not, {"bob"}); }, [](Access&) {},
     true},
    // Host and address patterns.
    {"HostPrefix", [](AlertCondition& i) { i.host_cond.pattern = "PC*"; },
     [](Access& a) { a.host = "Pc-A"; }, true},
    {"HostTrailingStarNeedsByte",
     [](AlertCondition& i) { i.host_cond.pattern = "PC*"; },
     [](Access& a) { a.host = "PC"; }, false},
    {"HostStarNeedsNonEmpty", [](AlertCondition& i) { i.host_cond.pattern = "*"; },
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
    {"NoOperations", [](AlertCondition& i) { i.operations.clear(); }, [](Access&) {},
     false},
    {"OperationDisabled",
     [](AlertCondition& i) { i.operations["file_read"] = false; }, [](Access&) {},
     false},
    {"OperationCaseMatters", [](AlertCondition&) {},
     [](Access& a) { a.operation = "File_read"; }, false},
    {"OtherOperation", [](AlertCondition&) {},
     [](Access& a) { a.operation = "file_write"; }, false},
    // Result, share, path.
    {"ResultInCapitals", [](AlertCondition& i) { i.result_cond.pattern = "FAIL"; },
     [](Access& a) { a.result = "fail"; }, true},
    {"ResultOkNotFail", [](AlertCondition& i) { i.result_cond.pattern = "fail"; },
     [](Access&) {}, false},
    {"ShareMismatch", [](AlertCondition& i) { i.share_cond.pattern = "media"; },
     [](Access&) {}, false},
    {"PathPattern", [](AlertCondition& i) { i.path_cond.pattern = "docs/*.TXT"; },
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

// Conditions read from a configuration document.
class AlertConditionReadTest : public testing::Test {
 protected:
  // Loads a document whose alert list holds `alerts` and returns the first
  // "alert" element.
  Corvel::CDOMNode Load(const std::string& alerts) {
    files_.Write("<config><alertlist>" + alerts + "</alertlist></config>");
    config_.load();
    return config_.GetRootNode().SelectSingleNode("alertlist/alert");
  }

  AlertCondition Read(const std::string& body) {
    return read_alert_condition(config_, Load("<alert>" + body + "</alert>"));
  }

  TempConfig files_;
  ConfigXml config_{files_.path()};
};

TEST_F(AlertConditionReadTest, ReadsEveryPart) {
  const AlertCondition info = Read(
      "<name>watch docs</name>"
      "<period not=\"true\"><weekdays sun=\"true\" mon=\"TRUE\" sat=\"true\""
      " wed=\"1\"/><from><hour> 9</hour><minute>5min</minute></from>"
      "<to><hour>17</hour><minute>30</minute></to></period>"
      "<usernamelist not=\"true\"><username>Admin</username><username/>"
      "<username>bob</username></usernamelist>"
      "<hostname not=\"true\">PC*</hostname><ipaddr>10.0.*</ipaddr>"
      "<result>FAIL</result><sharename>docs</sharename><path>a b/*</path>"
      "<operationlist><operation type=\"file_read\" enable=\"true\"/>"
      "<operation type=\"file_write\" enable=\"false\"/></operationlist>");
  EXPECT_EQ(info.name, "watch docs");
  EXPECT_TRUE(info.period_not);
  EXPECT_EQ(info.weekdays, 1u << 0 | 1u << 6);
  EXPECT_EQ(info.from_hour, 9);
  EXPECT_EQ(info.from_minute, 5);
  EXPECT_EQ(info.to_hour, 17);
  EXPECT_EQ(info.to_minute, 30);
  EXPECT_EQ(info.user_cond.flags, MatchFlag::Not);
  EXPECT_THAT(info.user_cond.names, ElementsAre("Admin", "bob"));
  EXPECT_EQ(info.host_cond.flags, MatchFlag::Not);
  EXPECT_EQ(info.host_cond.pattern, "PC*");
  EXPECT_EQ(info.ip_cond.flags, 0u);
  EXPECT_EQ(info.ip_cond.pattern, "10.0.*");
  EXPECT_EQ(info.result_cond.pattern, "FAIL");
  EXPECT_EQ(info.share_cond.pattern, "docs");
  EXPECT_EQ(info.path_cond.pattern, "a b/*");
  EXPECT_THAT(info.operations,
              ElementsAre(Pair("file_read", true), Pair("file_write", false)));
}

TEST_F(AlertConditionReadTest, NameAloneGivesEmptyCondition) {
  const AlertCondition info = Read("<name>bare</name>");
  EXPECT_FALSE(info.period_not);
  EXPECT_EQ(info.weekdays, 0u);
  EXPECT_EQ(info.from_hour * 60 + info.from_minute, 0);
  EXPECT_EQ(info.to_hour, 24);  // a missing end is the end of the day
  EXPECT_EQ(info.to_minute, 0);
  EXPECT_EQ(info.user_cond.flags, 0u);
  EXPECT_THAT(info.user_cond.names, IsEmpty());
  EXPECT_EQ(info.host_cond.pattern, "");
  EXPECT_THAT(info.operations, IsEmpty());
  EXPECT_FALSE(Matches(info, Access()));
}

TEST_F(AlertConditionReadTest, EndOfMidnightMeansEndOfDay) {
  const AlertCondition info = Read(
      "<name>n</name><period><weekdays mon=\"true\"/>"
      "<from><hour>12</hour><minute>0</minute></from>"
      "<to><hour>0</hour><minute>0</minute></to></period>"
      "<usernamelist all=\"true\"/>"
      "<operationlist><operation type=\"file_read\" enable=\"true\"/>"
      "</operationlist>");
  EXPECT_EQ(info.to_hour, 24);
  Access late;
  late.now = At(kMon, 23, 59);
  EXPECT_TRUE(Matches(info, late));
  late.now = At(kTue, 23, 59);
  EXPECT_FALSE(Matches(info, late));
}

TEST_F(AlertConditionReadTest, HalfPastMidnightEndIsKept) {
  const AlertCondition info =
      Read("<name>n</name><period><to><minute>30</minute></to></period>");
  EXPECT_EQ(info.to_hour, 0);
  EXPECT_EQ(info.to_minute, 30);
}

TEST_F(AlertConditionReadTest, NotWithoutTextLeavesPatternOpen) {
  const AlertCondition info = Read(
      "<name>n</name><hostname not=\"true\"/><ipaddr not=\"true\"></ipaddr>");
  EXPECT_EQ(info.host_cond.flags, 0u);
  EXPECT_EQ(info.host_cond.pattern, "");
  EXPECT_EQ(info.ip_cond.flags, 0u);
  EXPECT_TRUE(info.host_cond.accepts("anything"));
}

TEST_F(AlertConditionReadTest, LaterOperationOfSameTypeOverwrites) {
  const AlertCondition info = Read(
      "<name>n</name><operationlist>"
      "<operation type=\"file_read\" enable=\"true\"/>"
      "<operation type=\"file_read\" enable=\"yes\"/></operationlist>");
  EXPECT_THAT(info.operations, ElementsAre(Pair("file_read", false)));
}

TEST_F(AlertConditionReadTest, OperationWithoutTypeEndsTheList) {
  const AlertCondition info = Read(
      "<name>n</name><operationlist>"
      "<operation type=\"file_read\" enable=\"true\"/>"
      "<operation enable=\"true\"/>"
      "<operation type=\"file_write\" enable=\"true\"/></operationlist>"
      "<path>kept</path>");
  EXPECT_THAT(info.operations, ElementsAre(Pair("file_read", true)));
}

TEST_F(AlertConditionReadTest, MissingOrEmptyNameRaises) {
  EXPECT_THROW(Read("<hostname>pc</hostname>"), Corvel::CXMLError);
  EXPECT_THROW(Read("<name/>"), Corvel::CXMLError);
}

TEST_F(AlertConditionReadTest, AlertListSkipsNamelessCondition) {
  Load(
      "<alert><hostname>x</hostname></alert>"
      "<alert><name>second</name></alert>"
      "<alert><name></name></alert>");
  const std::vector<AlertCondition> list = read_alert_conditions(config_);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "second");
}

TEST_F(AlertConditionReadTest, DocumentWithoutRootHasNoConditions) {
  EXPECT_THAT(read_alert_conditions(config_), IsEmpty());  // never loaded
  files_.Write("<config>");
  EXPECT_THROW(config_.load(), Corvel::CXMLError);
  EXPECT_THAT(read_alert_conditions(config_), IsEmpty());
}

TEST_F(AlertConditionReadTest, ConditionsFollowTheDocument) {
  Load("<alert><name>a</name></alert><alert><name>b</name></alert>");
  std::vector<AlertCondition> list = read_alert_conditions(config_);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].name, "b");
  files_.Write("<config><alertlist/></config>");
  config_.load();
  EXPECT_THAT(read_alert_conditions(config_), IsEmpty());
  Load("<alert><name>c</name></alert>");
  list = read_alert_conditions(config_);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "c");
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
