#include "forward/forward_settings.h"

#include <ostream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/config_test_util.h"
#include "config/config_xml.h"

namespace quillo {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

class ForwardSettingsTest : public ::testing::Test {
 protected:
  ForwardSettings Read(const std::string& xml) {
    files_.Write(xml);
    config_.load();
    return read_forward_settings(config_);
  }

  TempConfig files_;
  ConfigXml config_{files_.path()};
};

struct ForwardCase {
  const char* name;
  std::string element;  // the forwardconf element as written
  bool enable;
  const char* error;  // a part of the error, or "" for none
  bool held = false;
};

void PrintTo(const ForwardCase& c, std::ostream* os) { *os << c.name; }

// A forwardconf element (on unless `enable` says otherwise) with a target.
std::string forwardconf(const std::string& port, const std::string& protocol,
                        const std::string& more = "",
                        const std::string& enable = "true") {
  return "<forwardconf enable=\"" + enable +
         "\"><target><host> 127.0.0.1 </host><port>" + port +
         "</port><protocol>" + protocol + "</protocol></target>" + more +
         "</forwardconf>";
}

class ForwardElementTest : public ForwardSettingsTest,
                           public ::testing::WithParamInterface<ForwardCase> {};

TEST_P(ForwardElementTest, ReadsOrRefusesTheSettings) {
  const ForwardSettings s = Read("<config>" + GetParam().element + "</config>");
  EXPECT_EQ(s.enable, GetParam().enable);
  EXPECT_EQ(s.held, GetParam().held);
  if (*GetParam().error == '\0') {
    EXPECT_THAT(s.error, IsEmpty());
  } else {
    EXPECT_THAT(s.error, HasSubstr(GetParam().error));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Elements, ForwardElementTest,
    ::testing::Values(
        ForwardCase{"Missing", "", false, ""},
        ForwardCase{"Off", forwardconf("0", "x", "", "false"), false, ""},
        ForwardCase{"Whole", forwardconf("1514", "tcp"), true, ""},
        ForwardCase{"PortLow", forwardconf("0", "tcp"), false, "port \"0\""},
        ForwardCase{"PortHigh", forwardconf("65536", "tcp"), false,
                    "port \"65536\""},
        ForwardCase{"PortNotANumber", forwardconf("15x", "tcp"), false, "port"},
        ForwardCase{"UnknownProtocol", forwardconf("1514", "udp"), false,
                    "unknown protocol \"udp\""},
        ForwardCase{"Relp", forwardconf("2514", "relp"), true, ""},
        ForwardCase{"WindowOne",
                    forwardconf("2514",
                                "relp</protocol><window>1</window>"
                                "<protocol>relp"),
                    false, "window \"1\" is not in 2-1024"},
        ForwardCase{"WindowMost",
                    forwardconf("2514",
                                "relp</protocol><window>1024</window>"
                                "<protocol>relp"),
                    true, ""},
        // TLS that could not verify the collector holds the rows back.
        ForwardCase{"TlsTcpWithoutClientCertificate",
                    forwardconf("6514", "tcp",
                                "<tls enable=\"true\"><cafile>/ca.pem</cafile>"
                                "</tls>"),
                    true, ""},
        ForwardCase{"TlsOff",
                    forwardconf("6514", "relp", "<tls enable=\"false\"/>"),
                    true, ""},
        ForwardCase{"TlsWithoutAuthority",
                    forwardconf("6514", "tcp", "<tls enable=\"true\"/>"), true,
                    "tls needs cafile", true},
        ForwardCase{"TlsCertificateWithoutKey",
                    forwardconf("6514", "tcp",
                                "<tls enable=\"true\"><cafile>/ca.pem</cafile>"
                                "<certfile>/c.pem</certfile></tls>"),
                    true, "certfile and keyfile together", true},
        ForwardCase{"RelpTlsWithoutClientCertificate",
                    forwardconf("6514", "relp",
                                "<tls enable=\"true\"><cafile>/ca.pem</cafile>"
                                "<peername>c</peername></tls>"),
                    true, "RELP over TLS needs certfile and keyfile", true},
        ForwardCase{"NoHost",
                    "<forwardconf enable=\"true\"><target><port>1514"
                    "</port></target></forwardconf>",
                    false, "no target host"},
        ForwardCase{
            "SpoolZero",
            forwardconf("1514", "tcp",
                        "<spool><maxmegabytes>0</maxmegabytes></spool>"),
            false, "maxmegabytes"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ForwardSettingsTest, ReadsEveryElement) {
  const ForwardSettings s = Read(
      "<config><forwardconf enable=\"true\"><target><host>collector.example"
      "</host><port>6514</port></target><kinds system=\"true\" "
      "access=\"false\"/><spool><maxmegabytes>8</maxmegabytes></spool>"
      "</forwardconf></config>");
  EXPECT_TRUE(s.enable);
  EXPECT_EQ(s.host, "collector.example");
  EXPECT_EQ(s.port, 6514);
  EXPECT_EQ(s.protocol, ForwardProtocol::kTcp);  // the default
  EXPECT_EQ(s.window, ForwardSettings::kDefaultWindow);
  EXPECT_TRUE(s.forwards(LogKind::kSystem));
  EXPECT_FALSE(s.forwards(LogKind::kAccess));
  EXPECT_TRUE(s.forwards(LogKind::kAlert));  // a missing attribute is on
  EXPECT_EQ(s.max_megabytes, 8);
  // Read anew after a load.
  EXPECT_FALSE(Read("<config/>").enable);
}

TEST_F(ForwardSettingsTest, ReadsRelpAndTlsTextsWithoutTheirWhiteSpace) {
  const ForwardSettings s = Read(
      "<config><forwardconf enable=\"true\"><target><host>c</host>"
      "<port>2514</port><protocol> relp </protocol><window>\n  16\n"
      "</window></target><tls enable=\"true\"><cafile> /ca.pem </cafile>"
      "<certfile>/c.pem</certfile><keyfile>/k.pem</keyfile>"
      "<peername>\tcollector\t</peername></tls><kinds alert=\"yes\"/>"
      "</forwardconf></config>");
  EXPECT_TRUE(s.enable);
  EXPECT_FALSE(s.held);
  EXPECT_THAT(s.error, IsEmpty());
  EXPECT_EQ(s.protocol, ForwardProtocol::kRelp);
  EXPECT_EQ(s.window, 16);
  EXPECT_EQ(s.max_megabytes, ForwardSettings::kDefaultMaxMegabytes);
  EXPECT_TRUE(s.tls.enable);
  EXPECT_EQ(s.tls.cafile, "/ca.pem");
  EXPECT_EQ(s.tls.certfile, "/c.pem");
  EXPECT_EQ(s.tls.keyfile, "/k.pem");
  EXPECT_EQ(s.tls.peername, "collector");
  EXPECT_FALSE(s.forwards(LogKind::kAlert));  // only "true" is on
  EXPECT_EQ(s.target_name(), "c:2514");
}

TEST_F(ForwardSettingsTest, KindsOfSettingsThatAreOffAreStillRead) {
  const ForwardSettings s = Read(
      "<config><forwardconf><kinds system=\"false\"/></forwardconf>"
      "</config>");
  EXPECT_FALSE(s.enable);
  EXPECT_FALSE(s.forwards(LogKind::kSystem));
  EXPECT_TRUE(s.forwards(LogKind::kAccess));
}

TEST(ForwardSettingsTargetTest, OnlyTheWayToTheCollectorCountsAsTarget) {
  ForwardSettings a;
  a.enable = true;
  a.host = "c";
  a.port = 514;
  ForwardSettings b = a;
  b.kinds[0] = false;
  b.max_megabytes = 1;
  EXPECT_TRUE(a.same_target(b));
  b.protocol = ForwardProtocol::kRelp;
  EXPECT_FALSE(a.same_target(b));
  b = a;
  b.tls.peername = "other";
  EXPECT_FALSE(a.same_target(b));
  b = a;
  b.held = true;
  EXPECT_FALSE(a.same_target(b));
}

TEST(ForwardProtocolTest, NamesRoundTrip) {
  for (const ForwardProtocol p :
       {ForwardProtocol::kTcp, ForwardProtocol::kRelp}) {
    EXPECT_EQ(protocol_named(protocol_name(p)), p);
  }
  EXPECT_EQ(protocol_named("TCP"), std::nullopt);
  EXPECT_EQ(protocol_named(""), std::nullopt);
}

}  // namespace
}  // namespace quillo
