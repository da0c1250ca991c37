// The appliance's fixed paths that only the daemon uses, and the one place
// that spells them (the socket, which the client shares, is spelled in
// protocol/socket_path.h).
//
// main() builds one AppliancePaths at start-up from QUILLO_ROOT and passes
// it (or the parts a module needs) down; nothing else reads the
// environment, so a test builds the paths of its own temporary tree without
// touching it. The log root named by the configuration is never prefixed.

#ifndef QUILLO_PATHS_APPLIANCE_PATHS_H_
#define QUILLO_PATHS_APPLIANCE_PATHS_H_

#include <string>

namespace quillo {

inline constexpr char kConfigPath[] = "/mnt/data/xmlconf/config-quillo.xml";
inline constexpr char kNoticeConfigPath[] =
    "/mnt/data/xmlconf/config-notice.xml";
inline constexpr char kNoticeLockPath[] = "/var/lock/config-notice.xml.lock";
inline constexpr char kStateDir[] = "/mnt/data/conf/quillo";
inline constexpr char kEventlogScript[] = "/mnt/data/bin/vek_eventlog.py";
inline constexpr char kBuzzerScript[] = "/mnt/data/bin/vek_buzzer.py";
inline constexpr char kMailsendScript[] = "/mnt/data/bin/vek_mailsend.py";

struct AppliancePaths {
  std::string root;  // the resolved QUILLO_ROOT, or empty
  std::string config;
  std::string notice_config;
  std::string notice_lock;
  std::string state_dir;
  std::string eventlog_script;
  std::string buzzer_script;
  std::string mailsend_script;
};

// The path set for `root` (empty: the appliance's own paths). A relative
// root is made absolute against the current working directory.
AppliancePaths MakePaths(const std::string& root);

}  // namespace quillo

#endif  // QUILLO_PATHS_APPLIANCE_PATHS_H_
