// Rate thresholds, the rename test and responses as read from an "alert"
// element, and how the rename test narrows a condition.

#include "alert/rate_rule.h"

#include <string>

#include <gtest/gtest.h>

#include "alert/alert_condition.h"
#include "alert/alert_condition_test_util.h"
#include "config/config_test_util.h"
#include "config/config_xml.h"
#include "support/xml/dom.h"

namespace quillo {
namespace {

struct RenameCase {
  const char* path;
  bool changed;
};

class ExtensionChangedTest : public testing::TestWithParam<RenameCase> {};

TEST_P(ExtensionChangedTest, ComparesTheLastComponentsExtensions) {
  EXPECT_EQ(extension_changed(GetParam().path), GetParam().changed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtensionChangedTest,
    testing::Values(RenameCase{"plan.docx -> plan.docx.lockbit", true},
                    RenameCase{"a.txt -> a.enc", true},
                    RenameCase{"a.txt -> b.txt", false},
                    RenameCase{"A.TXT -> b.txt", false},  // case ignored
                    RenameCase{"notes -> notes.enc", true},
                    RenameCase{"notes.enc -> notes", true},
                    RenameCase{"dir.v1/a -> dir.v2/a", false},  // folders
                    RenameCase{"d/a.txt -> e.old/a.txt", false},
                    RenameCase{"a.txt", false},  // not a rename path
                    RenameCase{"", false}));

class RateRuleReadTest : public testing::Test {
 protected:
  RateRule Read(const std::string& body) {
    files_.Write("<config><alertlist><alert><name>r</name>" + body +
                 "</alert></alertlist></config>");
    config_.load();
    return read_rate_rule(
        config_, config_.GetRootNode().SelectSingleNode("alertlist/alert"));
  }

  TempConfig files_;
  ConfigXml config_{files_.path()};
};

TEST_F(RateRuleReadTest, ReadsEveryPartWithItsDefaults) {
  const RateRule none = Read("");
  EXPECT_FALSE(none.threshold);
  EXPECT_FALSE(none.response);
  EXPECT_FALSE(none.extchange);
  EXPECT_TRUE(none.error.empty());

  const RateRule r = Read(
      "<threshold><count>200</count><seconds>60</seconds></threshold>"
      "<extchange enable=\"true\"/>"
      "<response><script>/mnt/data/bin/contain.sh</script></response>");
  ASSERT_TRUE(r.threshold);
  EXPECT_EQ(r.threshold->count, 200);
  EXPECT_EQ(r.threshold->seconds, 60);
  EXPECT_EQ(r.threshold->per, RatePer::kUser);  // the default
  EXPECT_TRUE(r.extchange);
  ASSERT_TRUE(r.response);
  EXPECT_EQ(r.response->script, "/mnt/data/bin/contain.sh");
  EXPECT_EQ(r.response->timeout, 30);

  const RateRule ip = Read(
      "<threshold><count>1</count><seconds>86400</seconds><per>ip</per>"
      "</threshold><response><script>/x</script><timeout>300</timeout>"
      "</response>");
  ASSERT_TRUE(ip.threshold);
  EXPECT_EQ(ip.threshold->per, RatePer::kIp);
  EXPECT_EQ(ip.response->timeout, 300);
}

struct MalformedCase {
  const char* name;
  const char* body;
  const char* error;  // a part of the message
};

class MalformedRateRuleTest
    : public RateRuleReadTest,
      public testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedRateRuleTest, IsRefusedWithItsReason) {
  const RateRule r = Read(GetParam().body);
  EXPECT_NE(r.error.find(GetParam().error), std::string::npos) << r.error;
}

#define THRESHOLD(count, seconds, per)                               \
  "<threshold><count>" count "</count><seconds>" seconds "</seconds>" \
  "<per>" per "</per></threshold>"

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedRateRuleTest,
    testing::Values(
        MalformedCase{"CountZero", THRESHOLD("0", "60", "user"), "count \"0\""},
        MalformedCase{"CountTooHigh", THRESHOLD("100001", "60", "user"),
                      "count"},
        MalformedCase{"CountSigned", THRESHOLD("+5", "60", "user"), "count"},
        MalformedCase{"NoCount", "<threshold><seconds>60</seconds></threshold>",
                      "count \"\""},
        MalformedCase{"SecondsTooHigh", THRESHOLD("5", "86401", "user"),
                      "seconds"},
        MalformedCase{"SecondsText", THRESHOLD("5", "1m", "user"), "seconds"},
        MalformedCase{"UnknownPer", THRESHOLD("5", "60", "group"),
                      "per \"group\""},
        MalformedCase{"RelativeScript",
                      "<response><script>contain.sh</script></response>",
                      "not an absolute path"},
        MalformedCase{"TimeoutTooLong",
                      "<response><script>/x</script><timeout>301</timeout>"
                      "</response>",
                      "timeout \"301\""}),
    [](const testing::TestParamInfo<MalformedCase>& info) {
      return std::string(info.param.name);
    });

#undef THRESHOLD

TEST_F(RateRuleReadTest, MalformedConditionIsLeftOutAndTheOthersKept) {
  files_.Write(
      "<config><alertlist>"
      "<alert><name>bad</name><threshold><count>0</count>"
      "<seconds>60</seconds></threshold></alert>"
      "<alert><name>good</name><threshold><count>3</count>"
      "<seconds>60</seconds></threshold></alert>"
      "</alertlist></config>");
  config_.load();
  testing::internal::CaptureStderr();
  const std::vector<AlertCondition> conditions = read_alert_conditions(config_);
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(conditions.size(), 1u);
  EXPECT_EQ(conditions[0].name, "good");
  EXPECT_NE(err.find("Error: alert bad: threshold count \"0\""),
            std::string::npos)
      << err;
}

TEST(ExtChangeConditionTest, MatchesOnlyRenamesThatChangeTheExtension) {
  AlertCondition c = quillo_test::Everything();
  c.operations["rename"] = true;
  quillo_test::Access a;
  a.operation = "rename";
  a.path = "docs/plan.docx -> docs/plan.docx.lockbit";
  EXPECT_TRUE(quillo_test::Matches(c, a));
  c.rate.extchange = true;
  EXPECT_TRUE(quillo_test::Matches(c, a));
  a.path = "docs/a.txt -> docs/b.txt";
  EXPECT_FALSE(quillo_test::Matches(c, a));
  // Not a rename: the path does not even have the form.
  quillo_test::Access read;
  EXPECT_FALSE(quillo_test::Matches(c, read));
  // The rename test is part of what makes two conditions the same.
  AlertCondition plain = c;
  plain.rate.extchange = false;
  EXPECT_NE(plain, c);
}

}  // namespace
}  // namespace quillo
