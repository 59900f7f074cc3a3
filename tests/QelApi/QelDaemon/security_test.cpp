// Who may open a WebSocket connection: only programs on this machine. A web
// page (directly, or through a DNS-rebound host name) is refused; native
// clients that send no Origin are served.
#include <gtest/gtest.h>

#include <string_view>

#include "QelDaemon/upgrade_guard.h"
#include "QelApi/QelDaemon/daemon_fixture.h"

namespace qel::test {
namespace {

TEST(UpgradeGuardTest, LoopbackHostNames) {
  struct Case {
    std::string_view host;
    bool loopback;
  } cases[] = {
      {"localhost", true},
      {"LocalHost:8800", true},
      {"127.0.0.1", true},
      {"127.0.0.1:8800", true},
      {"127.255.3.4:1", true},
      {"[::1]", true},
      {"[::1]:8800", true},
      {"[0:0:0:0:0:0:0:1]:80", true},
      {"[::ffff:127.0.0.1]:8800", true},
      {"evil.example:8800", false},  // DNS rebinding: the page's own name
      {"localhost.evil.example", false},
      {"127.0.0.1.evil.example", false},
      {"128.0.0.1", false},
      {"10.0.0.5:8800", false},
      {"0.0.0.0:8800", false},
      {"[::2]:8800", false},
      {"[::1", false},
      {"::1", false},  // an IPv6 literal needs brackets
      {"localhost:", false},
      {"localhost:99999", false},
      {"localhost:80x", false},
      {"localhost:8800:1", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsLoopbackHost(c.host), c.loopback) << c.host;
}

TEST(UpgradeGuardTest, OriginsOfWebPagesOnOtherHostsAreRefused) {
  struct Case {
    std::string_view origin;
    bool accepted;
  } cases[] = {
      {"http://localhost:3000", true},  // a front end served from this machine
      {"https://127.0.0.1", true},
      {"HTTP://[::1]:8080", true},
      {"file://", true},  // installed software, not a visited page
      {"app://front-end", true},
      {"chrome-extension://abcdef", true},
      {"http://evil.example", false},
      {"https://evil.example:8800", false},
      {"http://localhost.evil.example", false},
      {"http://localhost@evil.example", false},
      {"http://evil.example@localhost", false},  // user information is never an origin
      {"null", false},                           // sandboxed frame or data: page
      {"NULL", false},
      {"http:evil.example", false},
      {"garbage", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsAcceptableOrigin(c.origin), c.accepted) << c.origin;
}

using SecurityE2eTest = DaemonFixture;

TEST_F(SecurityE2eTest, UpgradesFromWebPagesAreRefusedAndNativeClientsServed) {
  TestClient keeper;  // an accepted upgrade that closes again must not end the daemon
  connect(keeper);
  const std::string port = std::to_string(port_);
  using Headers = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* name;
    Headers headers;
    int status;
  } cases[] = {
      {"native client, no Origin", {{"Host", "127.0.0.1:" + port}}, 101},
      {"localhost", {{"Host", "localhost:" + port}}, 101},
      {"IPv6 loopback", {{"Host", "[::1]:" + port}}, 101},
      {"local front end page", {{"Host", "localhost:" + port}, {"Origin", "http://localhost:3000"}}, 101},
      {"file page", {{"Host", "127.0.0.1:" + port}, {"Origin", "file://"}}, 101},
      {"DNS rebinding", {{"Host", "evil.example:" + port}}, 403},
      {"rebinding with a loopback Origin", {{"Host", "evil.example:" + port}, {"Origin", "http://localhost"}}, 403},
      {"web page", {{"Host", "127.0.0.1:" + port}, {"Origin", "https://evil.example"}}, 403},
      {"sandboxed frame", {{"Host", "localhost:" + port}, {"Origin", "null"}}, 403},
      {"no Host", {}, 403},
      {"two Hosts", {{"Host", "127.0.0.1:" + port}, {"Host", "evil.example"}}, 403},
  };
  for (const Case& c : cases) EXPECT_EQ(upgradeStatus(port_, c.headers), c.status) << c.name;

  // A refused page never became a connection; the keeper is still served.
  EXPECT_EQ(keeper.request("{\"sid\":1,\"op\":\"ping\"}").value_or(""), "{\"sid\":1,\"pong\":\"ok\"}");
  EXPECT_FALSE(hasExited(std::chrono::milliseconds(0)));

  // A real client from a local front-end page talks to the daemon as usual.
  TestClient page;
  std::string error;
  ASSERT_TRUE(page.connect(port_, "localhost:" + port, "http://localhost:3000", error)) << error;
  EXPECT_EQ(page.request("{\"sid\":2,\"op\":\"ping\"}").value_or(""), "{\"sid\":2,\"pong\":\"ok\"}");
  page.close();
  TestClient foreign;
  EXPECT_FALSE(foreign.connect(port_, "127.0.0.1:" + port, "https://evil.example", error));
  keeper.close();
}

}  // namespace
}  // namespace qel::test
