#include "config/config_xml.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/config_test_util.h"
#include "support/xml/dom.h"

namespace quillo {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

// A configuration document in a private tree, loaded through load().
class ConfigXmlTest : public testing::Test {
 protected:
  void LoadXml(const std::string& xml) {
    files_.Write(xml);
    config_.load();
  }
  Corvel::CDOMNode Root() const { return config_.GetRootNode(); }

  TempConfig files_;
  ConfigXml config_{files_.path()};
};

struct BoolCase {
  const char* attribute;  // the "enable" attribute as written, or null
  bool expected;
};

void PrintTo(const BoolCase& c, std::ostream* os) {
  *os << (c.attribute == nullptr ? "(none)" : c.attribute);
}

class ConfigXmlBoolTest : public ConfigXmlTest,
                          public testing::WithParamInterface<BoolCase> {};

TEST_P(ConfigXmlBoolTest, OnlyExactTrueIsOn) {
  const char* value = GetParam().attribute;
  LoadXml(value == nullptr ? "<c><accesslogconf/></c>"
                           : "<c><accesslogconf enable=\"" +
                                 std::string(value) + "\"/></c>");
  EXPECT_EQ(config_.get_bool(Root(), "accesslogconf", "enable"),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ConfigXmlBoolTest,
    testing::Values(BoolCase{"true", true}, BoolCase{"TRUE", false},
                    BoolCase{"True", false}, BoolCase{"1", false},
                    BoolCase{"true ", false}, BoolCase{"", false},
                    BoolCase{nullptr, false}));

TEST_F(ConfigXmlTest, MissingElementReadsAsDefault) {
  LoadXml("<c><share><path>/srv</path><empty/></share></c>");
  EXPECT_FALSE(config_.get_bool(Root(), "eventlogconf", "enable"));
  EXPECT_EQ(config_.get_text(Root(), "share/path", "d"), "/srv");
  EXPECT_EQ(config_.get_text(Root(), "share/none", "d"), "d");
  EXPECT_EQ(config_.get_text(Root(), "share/empty", "d"), "d");
  EXPECT_THAT(config_.get_nodes(Root(), "share/none"), IsEmpty());
  // A malformed XPath is a read failure like any other.
  EXPECT_EQ(config_.get_text(Root(), "share[", "d"), "d");
  EXPECT_THAT(config_.get_nodes(Root(), "share["), IsEmpty());
}

struct IntCase {
  const char* text;
  int expected;
};

void PrintTo(const IntCase& c, std::ostream* os) {
  *os << '"' << c.text << '"';
}

class ConfigXmlToIntTest : public testing::TestWithParam<IntCase> {};

TEST_P(ConfigXmlToIntTest, ReadsLeadingDecimal) {
  EXPECT_EQ(ConfigXml::to_int(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, ConfigXmlToIntTest,
                         testing::Values(IntCase{" 14days", 14},
                                         IntCase{"days", 0}, IntCase{"-3", -3},
                                         IntCase{"+7", 7}, IntCase{"", 0},
                                         IntCase{"\n\t 30", 30},
                                         IntCase{"0x10", 0}, IntCase{"- 3", 0},
                                         IntCase{"12.9", 12}));

struct AutoDeleteCase {
  const char* label;
  const char* element;  // the "accesslogconf/autodelete" element
  bool enabled;
  int days;
  int percent;
};

void PrintTo(const AutoDeleteCase& c, std::ostream* os) { *os << c.label; }

class ConfigXmlAutoDeleteTest
    : public ConfigXmlTest,
      public testing::WithParamInterface<AutoDeleteCase> {};

TEST_P(ConfigXmlAutoDeleteTest, ReadsAccessSettings) {
  const AutoDeleteCase& c = GetParam();
  LoadXml(std::string("<c><eventlogconf><autodelete enable=\"true\"><expire>"
                      "<days>99</days><percent>99</percent></expire>"
                      "</autodelete></eventlogconf><accesslogconf>") +
          c.element + "</accesslogconf></c>");
  const ConfigXml::AutoDelete got =
      config_.get_autodelete(ConfigXml::kAccessLog);
  EXPECT_EQ(got.enabled, c.enabled);
  EXPECT_EQ(got.days, c.days);
  EXPECT_EQ(got.percent, c.percent);
}

INSTANTIATE_TEST_SUITE_P(
    Elements, ConfigXmlAutoDeleteTest,
    testing::Values(
        AutoDeleteCase{"NoChildren", "<autodelete enable=\"true\"/>", true, 0,
                       0},
        AutoDeleteCase{"DaysOnly",
                       "<autodelete enable=\"true\"><expire><days>30</days>"
                       "</expire></autodelete>",
                       true, 30, 0},
        AutoDeleteCase{"PercentOnly",
                       "<autodelete enable=\"true\"><expire><percent>90"
                       "</percent></expire></autodelete>",
                       true, 0, 0},
        AutoDeleteCase{"EmptyDays",
                       "<autodelete enable=\"true\"><expire><days/><percent>"
                       "90</percent></expire></autodelete>",
                       true, 0, 0},
        AutoDeleteCase{"Both",
                       "<autodelete enable=\"TRUE\"><expire><days> 14days"
                       "</days><percent>85</percent></expire></autodelete>",
                       false, 14, 85}),
    [](const testing::TestParamInfo<AutoDeleteCase>& p) {
      return p.param.label;
    });

TEST_F(ConfigXmlTest, AutoDeleteKindsReadTheirOwnElement) {
  LoadXml(
      "<c><eventlogconf><autodelete enable=\"true\"><expire><days>7</days>"
      "<percent>50</percent></expire></autodelete></eventlogconf></c>");
  const ConfigXml::AutoDelete system =
      config_.get_autodelete(ConfigXml::kSystemLog);
  EXPECT_TRUE(system.enabled);
  EXPECT_EQ(system.days, 7);
  EXPECT_EQ(system.percent, 50);
  EXPECT_THROW(config_.get_autodelete(ConfigXml::kAccessLog),
               Corvel::CXMLError);
  const ConfigXml::AutoDelete other = config_.get_autodelete(2);
  EXPECT_FALSE(other.enabled);
  EXPECT_EQ(other.days + other.percent, 0);
}

TEST_F(ConfigXmlTest, ShareListSkipsEmptyNames) {
  LoadXml(
      "<c><accesslogconf><sharelist all=\"false\"><share><name>docs</name>"
      "</share><share><name>media</name></share><share><name/></share>"
      "</sharelist></accesslogconf></c>");
  EXPECT_THAT(config_.get_share_list(), ElementsAre("docs", "media"));
}

TEST_F(ConfigXmlTest, LogRootIsRequired) {
  LoadXml("<c><share><path>/mnt/logs</path></share></c>");
  EXPECT_EQ(config_.log_root(), "/mnt/logs");
  LoadXml("<c><share/></c>");
  EXPECT_THROW(config_.log_root(), Corvel::CXMLError);
  LoadXml("<c><share><path/></share></c>");
  EXPECT_THROW(config_.log_root(), Corvel::CXMLError);
}

TEST_F(ConfigXmlTest, RememberedReadsFollowEachLoad) {
  LoadXml(
      "<c><eventlogconf enable=\"true\"/><accesslogconf enable=\"TRUE\">"
      "<sharelist all=\"true\"><share><name>docs</name></share></sharelist>"
      "</accesslogconf></c>");
  const ConfigXml::LogSwitches& first = config_.log_switches();
  EXPECT_TRUE(first.system_log);
  EXPECT_FALSE(first.access_log);
  EXPECT_TRUE(first.all_shares);
  EXPECT_THAT(first.shares, ElementsAre("docs"));
  std::string error;
  try {
    config_.log_root();
  } catch (const Corvel::CXMLError& e) {
    error = e.what();
  }
  EXPECT_EQ(error,
            "CDOMNode::SelectSingleNode: ERROR: no nodes found. node=c "
            "xpath=share/path\n");
  // A remembered failure is raised again, with the same text.
  try {
    config_.log_root();
    ADD_FAILURE() << "no error the second time";
  } catch (const Corvel::CXMLError& e) {
    EXPECT_EQ(e.what(), error);
  }

  LoadXml(
      "<c><share><path>/l</path></share><accesslogconf enable=\"true\">"
      "<autodelete enable=\"true\"><expire><days>7</days></expire>"
      "</autodelete></accesslogconf></c>");
  EXPECT_EQ(config_.log_root(), "/l");
  EXPECT_FALSE(config_.log_switches().system_log);
  EXPECT_TRUE(config_.log_switches().access_log);
  EXPECT_EQ(config_.get_autodelete(ConfigXml::kAccessLog).days, 7);
  EXPECT_THROW(config_.get_autodelete(ConfigXml::kSystemLog),
               Corvel::CXMLError);
}

TEST_F(ConfigXmlTest, ReadsWithoutDocumentRaiseOrGiveNothing) {
  EXPECT_THROW(config_.log_root(), Corvel::CXMLError);
  EXPECT_THROW(config_.get_share_list(), Corvel::CXMLError);
  EXPECT_THROW(config_.get_autodelete(ConfigXml::kSystemLog),
               Corvel::CXMLError);
}

TEST_F(ConfigXmlTest, LoadOfMissingOrMalformedFileRaises) {
  files_.Remove();
  EXPECT_THROW(config_.load(), Corvel::CXMLError);
  files_.Write("<c><share><path>/x</path></share>");  // unclosed root
  EXPECT_THROW(config_.load(), Corvel::CXMLError);
}

TEST_F(ConfigXmlTest, EveryLoadOfAnyDocumentHasItsOwnGeneration) {
  EXPECT_EQ(config_.generation(), 0u);
  LoadXml("<c/>");
  const std::uint64_t first = config_.generation();
  EXPECT_NE(first, 0u);
  LoadXml("<c/>");
  const std::uint64_t second = config_.generation();
  EXPECT_NE(second, first);
  // A failed load is a new document too: the old one is gone.
  files_.Write("<c>");
  EXPECT_THROW(config_.load(), Corvel::CXMLError);
  EXPECT_NE(config_.generation(), second);
  // Another object, as a reload makes, never repeats a number.
  ConfigXml other(files_.path());
  files_.Write("<c/>");
  other.load();
  EXPECT_NE(other.generation(), first);
  EXPECT_NE(other.generation(), second);
  EXPECT_NE(other.generation(), config_.generation());
}

}  // namespace
}  // namespace quillo
