// Fixed paths of the appliance, and the one place that spells them.
//
// Both programs call InitPaths() once at start-up, before detaching and
// before any thread starts; afterwards Paths() is read-only and may be used
// from any thread.
//
// When the environment variable QUILLO_ROOT is set and not empty, every
// fixed path is taken below that directory (made absolute against the
// working directory at start-up), so that tests, the demo and unprivileged
// users can run the system without touching the appliance's real paths:
// QUILLO_ROOT=/srv/q gives /srv/q/tmp/quillo, and so on. The log root named
// by the configuration is never prefixed.

#ifndef QUILLO_PROTOCOL_PATHS_H_
#define QUILLO_PROTOCOL_PATHS_H_

#include <string>

namespace quillo {

// The appliance's own paths, used when QUILLO_ROOT is not set.
inline constexpr char kSocketPath[] = "/tmp/quillo";
inline constexpr char kConfigPath[] = "/mnt/data/xmlconf/config-quillo.xml";
inline constexpr char kNoticeConfigPath[] =
    "/mnt/data/xmlconf/config-notice.xml";
inline constexpr char kNoticeLockPath[] = "/var/lock/config-notice.xml.lock";
inline constexpr char kStateDir[] = "/mnt/data/conf/quillo";
inline constexpr char kEventlogScript[] = "/mnt/data/bin/vek_eventlog.py";
inline constexpr char kBuzzerScript[] = "/mnt/data/bin/vek_buzzer.py";
inline constexpr char kMailsendScript[] = "/mnt/data/bin/vek_mailsend.py";

// Longest socket path that fits a local socket address with its NUL.
inline constexpr std::size_t kMaxSocketPath = 107;

struct AppliancePaths {
  std::string root;  // the resolved QUILLO_ROOT, or empty
  std::string socket;
  std::string config;
  std::string notice_config;
  std::string notice_lock;
  std::string state_dir;
  std::string eventlog_script;
  std::string buzzer_script;
  std::string mailsend_script;
};

// Builds the path set for `root` (empty: the appliance's own paths). A
// relative root is made absolute against the current working directory.
AppliancePaths MakePaths(const std::string& root);

// Resolves the paths from QUILLO_ROOT and makes them the process's paths.
// Tests may call it again (single-threaded) after changing QUILLO_ROOT.
void InitPaths();

// The paths set by the last InitPaths(); the appliance's own before that.
const AppliancePaths& Paths();

}  // namespace quillo

#endif  // QUILLO_PROTOCOL_PATHS_H_
