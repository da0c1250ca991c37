// Forwarding over RELP and over TLS with the real programs: quillod and
// quillo-send under a temporary QUILLO_ROOT, a private rsyslogd (imrelp,
// or imtcp with the gtls driver) as the collector, and a CA with a
// collector and an appliance certificate made for each test.

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using Clock = std::chrono::steady_clock;
using Counters = std::map<std::string, std::uint64_t>;

constexpr std::chrono::seconds kArrival{60};  // bound on any delivery

struct Tls {
  std::string ca, cert, key, peername;
};

std::string forward_conf(int port, const std::string& protocol,
                         const Tls* tls = nullptr,
                         const std::string& window = "") {
  std::string conf =
      "  <forwardconf enable=\"true\"><target><host>127.0.0.1</host><port>" +
      std::to_string(port) + "</port><protocol>" + protocol + "</protocol>" +
      (window.empty() ? "" : "<window>" + window + "</window>") + "</target>";
  if (tls != nullptr) {
    conf += "<tls enable=\"true\"><cafile>" + tls->ca + "</cafile>";
    if (!tls->cert.empty()) conf += "<certfile>" + tls->cert + "</certfile>";
    if (!tls->key.empty()) conf += "<keyfile>" + tls->key + "</keyfile>";
    conf += "<peername>" + tls->peername + "</peername></tls>";
  }
  return conf +
         "<kinds system=\"true\" access=\"true\" alert=\"true\"/>"
         "</forwardconf>\n";
}

// Polls the counters until `name` is at least `want`, with a bound;
// returns the last ones read.
Counters wait_counter(const Daemon& daemon, const std::string& name,
                      std::uint64_t want) {
  Counters c = daemon.counters();
  const auto until = Clock::now() + std::chrono::seconds(20);
  while (c[name] < want && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    c = daemon.counters();
  }
  return c;
}

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + what.size())) {
    ++n;
  }
  return n;
}

// Waits, bounded, until the daemon said `text` at least `times` times.
bool wait_for_text(const Daemon& daemon, const std::string& text,
                   std::size_t times = 1) {
  const auto until = Clock::now() + std::chrono::seconds(20);
  while (count_of(daemon.err(), text) < times) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Waits, bounded, until every row is among the collector's messages;
// returns the messages.
std::vector<std::string> wait_rows(const Collector& collector,
                                   const std::vector<std::string>& rows) {
  const auto until = Clock::now() + kArrival;
  for (;;) {
    const std::vector<std::string> got = collector.lines();
    if (arrival_of(got, rows).missing == 0 || Clock::now() >= until) {
      return got;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

class RelpTlsEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Collector::program().empty()) {
      GTEST_SKIP() << "rsyslogd is not installed: no collector to test with";
    }
    for (const char* module : {"imrelp", "lmnsd_gtls"}) {
      if (!Collector::has_module(module)) {
        GTEST_SKIP() << "rsyslog module " << module << " is not installed";
      }
    }
    if (TestPki::certtool().empty()) {
      GTEST_SKIP() << "certtool (gnutls-bin) is not installed";
    }
    setenv("QUILLO_FORWARD_BACKOFF_MAX", "1", 1);
  }

  // A collector listening with `protocol` ("tcp" or "relp"), with TLS
  // letting in "appliance.test" only when `tls`.
  void start_collector(const std::string& protocol, bool tls) {
    CollectorOptions o;
    o.relp = protocol == "relp";
    if (tls) {
      ASSERT_TRUE(pki_.ok) << pki_.error;
      o.tls = true;
      o.ca_file = pki_.ca;
      o.cert_file = pki_.collector_cert;
      o.key_file = pki_.collector_key;
      o.permitted_peer = "appliance.test";
    }
    collector_ = std::make_unique<Collector>(tree_.path("rsyslog"), o);
    ASSERT_TRUE(collector_->start())
        << read_file(tree_.path("rsyslog/rsyslogd.out"));
  }

  Tls client_tls(const std::string& peername) const {
    return {pki_.ca, pki_.client_cert, pki_.client_key, peername};
  }

  ApplianceTree tree_;
  TestPki pki_{tree_.path("pki")};
  std::unique_ptr<Collector> collector_;
};

TEST_F(RelpTlsEndToEndTest, RelpCollectorKilledMidStreamGetsEveryRow) {
  start_collector("relp", false);
  const int port = collector_->port();
  tree_.write_config(tree_.default_config_body() +
                     forward_conf(port, "relp", nullptr, "64"));
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  write_file(tree_.path("input"), fields_input(0, 5000, "k"));
  const pid_t client =
      start_program(quillo_send_path(), {"--stream"}, tree_.root(),
                    tree_.path("input"), tree_.path("client.out"));
  ASSERT_GE(collector_->wait_lines(1000, kArrival).size(), 1000u);
  collector_->kill();
  const std::size_t at_kill = collector_->lines().size();
  EXPECT_EQ(wait_for_exit(client, std::chrono::seconds(60)), 0);
  ASSERT_TRUE(collector_->start(port));

  const std::vector<std::string> rows = csv_rows(tree_, "systemlog");
  ASSERT_EQ(rows.size(), 5000u);
  const std::vector<std::string> got = wait_rows(*collector_, rows);
  const Arrival arrival = arrival_of(got, rows);
  EXPECT_EQ(arrival.missing, 0u)
      << got.size() << " messages, " << arrival.distinct << " distinct";
  // Only rows of the window the collector had not acknowledged come twice.
  EXPECT_LE(got.size() - arrival.distinct, 64u);
  const Counters c = wait_counter(daemon, "forward_rows_confirmed", 5000);
  EXPECT_GE(c.at("forward_reconnects"), 1u);
  EXPECT_EQ(c.at("forward_rows_confirmed"), 5000u);
  std::printf("killed at %zu messages; %zu messages, %zu twice, %llu resent\n",
              at_kill, got.size(), got.size() - arrival.distinct,
              static_cast<unsigned long long>(c.at("forward_rows_resent")));
}

// Forwarding over TLS with the appliance's certificate; tcp or relp.
class TlsEndToEndTest : public RelpTlsEndToEndTest,
                        public ::testing::WithParamInterface<std::string> {};

TEST_P(TlsEndToEndTest, UntrustedOrWrongCollectorGetsNothingUntilFixed) {
  start_collector(GetParam(), true);
  const int port = collector_->port();
  const TestPki stranger(tree_.path("stranger-pki"));
  ASSERT_TRUE(stranger.ok) << stranger.error;
  // The right name, but checked against an authority that did not sign it.
  const Tls untrusted{stranger.ca, pki_.client_cert, pki_.client_key,
                      "collector.test"};
  const Tls wrong_name = client_tls("other.test");
  const std::string fail =
      "Forward TLS fail!! 127.0.0.1:" + std::to_string(port) + ": ";
  tree_.write_config(tree_.default_config_body() +
                     forward_conf(port, GetParam(), &untrusted));
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  for (const Tls* tls : {&untrusted, &wrong_name}) {
    if (tls == &wrong_name) {
      tree_.write_config(tree_.default_config_body() +
                         forward_conf(port, GetParam(), tls));
      daemon.signal(SIGHUP);
    }
    ASSERT_EQ(run_client(tree_,
                         {"--system", "1796635815", tls->peername, tls->ca, ""})
                  .status,
              0);
    const std::size_t failures = count_of(daemon.err(), fail);
    ASSERT_TRUE(wait_for_text(daemon, fail, failures + 1))
        << "peername " << tls->peername << ": " << daemon.err();
    // A few more seconds: the retries fail the same way.
    EXPECT_TRUE(collector_->wait_lines(1, std::chrono::seconds(3)).empty());
    const Counters c = daemon.counters();
    EXPECT_GE(c.at("forward_tls_failures"), failures + 1);
    EXPECT_EQ(c.at("forward_rows_sent"), 0u);
  }

  // The reload alone, with no row after it, sends the rows kept.
  const Tls right = client_tls("collector.test");
  tree_.write_config(tree_.default_config_body() +
                     forward_conf(port, GetParam(), &right));
  daemon.signal(SIGHUP);
  const std::vector<std::string> rows = csv_rows(tree_, "systemlog");
  ASSERT_EQ(rows.size(), 2u);
  const std::vector<std::string> got = collector_->wait_lines(2, kArrival);
  ASSERT_EQ(got.size(), 2u) << daemon.err();
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(msg_of(got[i]), rows[i]) << "message " << i;
  }
  const Counters c = wait_counter(daemon, "forward_rows_confirmed", 2);
  EXPECT_EQ(c.at("forward_rows_sent"), 2u);
}

INSTANTIATE_TEST_SUITE_P(Protocols, TlsEndToEndTest,
                         ::testing::Values("tcp", "relp"),
                         [](const auto& info) { return info.param; });

TEST_F(RelpTlsEndToEndTest, RelpOverTlsWithoutOwnCertificateIsRefused) {
  // A plain collector: it would take anything the daemon sent.
  start_collector("relp", false);
  const Tls no_cert{pki_.ca, "", "", "collector.test"};
  tree_.write_config(tree_.default_config_body() +
                     forward_conf(collector_->port(), "relp", &no_cert));
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  ASSERT_EQ(run_client(tree_, {"--system", "1796635815", "a", "b", "c"}).status,
            0);
  EXPECT_TRUE(wait_for_text(
      daemon, "Error: forwardconf: RELP over TLS needs certfile and keyfile"))
      << daemon.err();
  const std::vector<std::string> rows = csv_rows(tree_, "systemlog");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(collector_->wait_lines(1, std::chrono::seconds(3)).empty());
  EXPECT_EQ(daemon.counters().at("forward_rows_sent"), 0u);
  // The row was held in the spool, not dropped: settings that are whole
  // send it.
  tree_.write_config(tree_.default_config_body() +
                     forward_conf(collector_->port(), "relp"));
  daemon.signal(SIGHUP);
  const std::vector<std::string> got = collector_->wait_lines(1, kArrival);
  ASSERT_EQ(got.size(), 1u) << daemon.err();
  EXPECT_EQ(msg_of(got[0]), rows[0]);
}

}  // namespace
}  // namespace quillo_test
