#include "paths/appliance_paths.h"

#include "base/root_dir.h"

namespace quillo {

AppliancePaths MakePaths(const std::string& root) {
  AppliancePaths p;
  p.root = base::absolute_root(root);
  const std::string prefix = base::root_prefix(p.root);
  p.config = prefix + kConfigPath;
  p.notice_config = prefix + kNoticeConfigPath;
  p.notice_lock = prefix + kNoticeLockPath;
  p.state_dir = prefix + kStateDir;
  p.eventlog_script = prefix + kEventlogScript;
  p.buzzer_script = prefix + kBuzzerScript;
  p.mailsend_script = prefix + kMailsendScript;
  return p;
}

}  // namespace quillo
