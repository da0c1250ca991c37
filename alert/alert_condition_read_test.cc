// Alert conditions read from a configuration document.

#include <cstdint>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "alert/alert_condition.h"
#include "alert/alert_condition_test_util.h"
#include "config/config_test_util.h"
#include "config/config_xml.h"
#include "support/xml/dom.h"

namespace quillo {
namespace {

using quillo_test::Access;
using quillo_test::At;
using quillo_test::kMon;
using quillo_test::kTue;
using quillo_test::Matches;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::Pair;

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

}  // namespace
}  // namespace quillo
