// Fuzzes the configuration document: the input is written as the
// configuration file, loaded, and then read through every setting the
// daemon reads, including the alert conditions, their matching and the
// alert engine that checks accesses against them: it must find exactly the
// matches the conditions give one by one, and keep every condition's state
// across a reload of the same document.
//
// Only the exceptions the readers document are caught (the XML layer's
// error from load(), get_autodelete(), get_share_list() and log_root());
// anything else escaping is a finding.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "alert/alert_condition.h"
#include "alert/alert_engine.h"
#include "alert/alert_thread.h"
#include "config/config_test_util.h"
#include "config/config_xml.h"
#include "logstore/log_row.h"
#include "support/xml/dom.h"

namespace {

using quillo::AlertCondition;
using quillo::AlertEngine;
using quillo::AlertThread;
using quillo::ConfigXml;
using quillo::LogKind;
using quillo::LogRow;

// Fixed times spread over the week and the day.
constexpr int64_t kTimes[] = {0, 1796635815, 1796635815 + 3 * 86400 + 50000};

struct Access {
  const char* user;
  const char* host;
  const char* ip;
  const char* operation;
  const char* result;
  const char* share;
  const char* path;
};

constexpr Access kAccesses[] = {
    {"admin", "pc01", "192.0.2.10", "open_read", "ok", "docs", "a/b.txt"},
    {"", "", "", "", "fail", "", ""},
    {"user01", "PC*", "10.*", "mkdir", "fail", "share1", "*"},
};

TempConfig& tree() {
  static TempConfig t;
  return t;
}

void read_node_settings(const ConfigXml& config, const Corvel::CDOMNode& root) {
  config.get_bool(root, "eventlogconf", "enable");
  config.get_bool(root, "accesslogconf/sharelist", "all");
  const Glib::ustring text = config.get_text(root, "share/path", "none");
  ConfigXml::to_int(text);
  for (const Corvel::CDOMNode& node :
       config.get_nodes(root, "alertlist/alert")) {
    config.get_text(node, "name", "");
    config.get_bool(node, "period", "not");
  }
  for (const Glib::ustring& t :
       config.get_texts(root, "accesslogconf/sharelist/share/name")) {
    ConfigXml::to_int(t);
  }
}

void read_settings(ConfigXml& config) {
  read_node_settings(config, config.GetRootNode());
  for (int kind : {ConfigXml::kSystemLog, ConfigXml::kAccessLog, 7}) {
    try {
      const ConfigXml::AutoDelete a = config.get_autodelete(kind);
      if (kind == 7 && (a.enabled || a.days != 0 || a.percent != 0)) abort();
    } catch (const Corvel::CXMLError&) {
    }
  }
  try {
    for (const std::string& share : config.get_share_list()) {
      if (share.empty()) abort();  // empty names are skipped
    }
  } catch (const Corvel::CXMLError&) {
  }
  try {
    if (config.log_root().empty()) abort();  // an empty root raises
  } catch (const Corvel::CXMLError&) {
  }
}

// How many of kTimes x kAccesses each condition matches.
std::vector<std::uint64_t> match_alerts(
    const std::vector<AlertCondition>& conditions) {
  std::vector<std::uint64_t> counts;
  for (const AlertCondition& alert : conditions) {
    if (alert.name.empty()) abort();  // nameless conditions are left out
    std::uint64_t n = 0;
    for (int64_t now : kTimes) {
      for (const Access& a : kAccesses) {
        n += alert.matches(now, a.user, a.host, a.ip, a.operation, a.result,
                           a.share, a.path);
      }
    }
    counts.push_back(n);
  }
  return counts;
}

// Every access at every time through `engine`.
void check_accesses(AlertEngine& engine, const ConfigXml& config) {
  for (int64_t now : kTimes) {
    for (const Access& a : kAccesses) {
      const LogRow row{
          LogKind::kAccess,
          now,
          {a.user, a.host, a.ip, a.operation, a.result, a.share, a.path}};
      engine.check(config, row, now);
    }
  }
}

// The engine finds what the conditions find, writes one row per match and
// hands every state on when the same document is loaded again.
void check_engine(ConfigXml& config, const std::vector<std::uint64_t>& counts) {
  AlertThread thread(AlertThread::kDefaultTiming, nullptr);  // never started
  std::uint64_t written = 0;
  AlertEngine engine(thread, [&](const LogRow& row, std::size_t copies) {
    if (row.kind != LogKind::kAlert || copies == 0) abort();
    written += copies;
    return copies;
  });
  check_accesses(engine, config);
  config.load();  // the same file: every condition unchanged
  check_accesses(engine, config);
  if (engine.condition_count() != counts.size()) abort();
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (engine.state(i).matches != 2 * counts[i]) abort();
    total += 2 * counts[i];
  }
  if (engine.stats().matches != total || written != total) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "UTC", 1);
  tree();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tree().Write(std::string(reinterpret_cast<const char*>(data), size));
  ConfigXml config(tree().path());
  try {
    config.load();
  } catch (const Corvel::CXMLError&) {
    return 0;
  }
  read_settings(config);
  const std::vector<std::uint64_t> counts =
      match_alerts(quillo::read_alert_conditions(config));
  check_engine(config, counts);
  return 0;
}
