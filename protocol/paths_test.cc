#include "protocol/paths.h"

#include <unistd.h>

#include <gtest/gtest.h>

namespace quillo {
namespace {

TEST(PathsTest, WithoutRootThePathsAreTheAppliancesOwn) {
  const AppliancePaths p = MakePaths("");
  EXPECT_EQ(p.socket, "/tmp/quillo");
  EXPECT_EQ(p.config, "/mnt/data/xmlconf/config-quillo.xml");
  EXPECT_EQ(p.notice_config, "/mnt/data/xmlconf/config-notice.xml");
  EXPECT_EQ(p.notice_lock, "/var/lock/config-notice.xml.lock");
  EXPECT_EQ(p.state_dir, "/mnt/data/conf/quillo");
  EXPECT_EQ(p.eventlog_script, "/mnt/data/bin/vek_eventlog.py");
  EXPECT_EQ(p.buzzer_script, "/mnt/data/bin/vek_buzzer.py");
  EXPECT_EQ(p.mailsend_script, "/mnt/data/bin/vek_mailsend.py");
}

TEST(PathsTest, RootPrefixesEveryPath) {
  const AppliancePaths p = MakePaths("/srv/q/");
  EXPECT_EQ(p.socket, "/srv/q/tmp/quillo");
  EXPECT_EQ(p.config, "/srv/q/mnt/data/xmlconf/config-quillo.xml");
  EXPECT_EQ(p.notice_lock, "/srv/q/var/lock/config-notice.xml.lock");
  EXPECT_EQ(p.mailsend_script, "/srv/q/mnt/data/bin/vek_mailsend.py");
}

TEST(PathsTest, RelativeRootIsMadeAbsolute) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  const AppliancePaths p = MakePaths("sandbox");
  EXPECT_EQ(p.socket, std::string(cwd) + "/sandbox/tmp/quillo");
}

TEST(PathsTest, InitPathsReadsTheEnvironment) {
  ASSERT_EQ(setenv("QUILLO_ROOT", "/srv/x", 1), 0);
  InitPaths();
  EXPECT_EQ(Paths().state_dir, "/srv/x/mnt/data/conf/quillo");
  ASSERT_EQ(setenv("QUILLO_ROOT", "", 1), 0);
  InitPaths();
  EXPECT_EQ(Paths().state_dir, "/mnt/data/conf/quillo");
  unsetenv("QUILLO_ROOT");
}

}  // namespace
}  // namespace quillo
