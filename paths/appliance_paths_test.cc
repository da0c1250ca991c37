#include "paths/appliance_paths.h"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/root_dir.h"

namespace quillo {
namespace {

TEST(PathsTest, WithoutRootThePathsAreTheAppliancesOwn) {
  const AppliancePaths p = MakePaths("");
  EXPECT_EQ(p.root, "");
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
  EXPECT_EQ(p.root, "/srv/q");
  EXPECT_EQ(p.config, "/srv/q/mnt/data/xmlconf/config-quillo.xml");
  EXPECT_EQ(p.notice_lock, "/srv/q/var/lock/config-notice.xml.lock");
  EXPECT_EQ(p.mailsend_script, "/srv/q/mnt/data/bin/vek_mailsend.py");
  EXPECT_EQ(MakePaths("/").state_dir, "/mnt/data/conf/quillo");
}

TEST(PathsTest, RelativeRootIsMadeAbsolute) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  const AppliancePaths p = MakePaths("sandbox");
  EXPECT_EQ(p.config,
            std::string(cwd) + "/sandbox/mnt/data/xmlconf/config-quillo.xml");
}

TEST(PathsTest, RootFromEnvironment) {
  ASSERT_EQ(setenv("QUILLO_ROOT", "/srv/x", 1), 0);
  EXPECT_EQ(MakePaths(base::root_from_env()).state_dir,
            "/srv/x/mnt/data/conf/quillo");
  ASSERT_EQ(setenv("QUILLO_ROOT", "", 1), 0);
  EXPECT_EQ(MakePaths(base::root_from_env()).state_dir,
            "/mnt/data/conf/quillo");
  unsetenv("QUILLO_ROOT");
}

}  // namespace
}  // namespace quillo
