// Who owns the far end of a loopback connection: the kernel's answer through
// socket diagnostics and through the /proc/net tables, for connections the
// test opens itself, for another user's (when the test may change its uid),
// and for connections whose far end is gone.
#include "QelDaemon/peer_owner.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "QelApi/QelDaemon/foreign_user.h"
#include "common/unique_fd.h"

namespace qel::test {
namespace {

// A listening socket on 127.0.0.1 with a free port.
class Listener {
 public:
  Listener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (!fd_ || ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd_.get(), 8) != 0 ||
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      ADD_FAILURE() << "no listener: " << std::strerror(errno);
    }
    port_ = ntohs(address.sin_port);
  }
  uint16_t port() const { return port_; }
  // The next connection; none when nothing connects within a minute.
  UniqueFd accept() {
    pollfd ready{fd_.get(), POLLIN, 0};
    if (::poll(&ready, 1, 60000) != 1) return UniqueFd();
    return UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

 private:
  UniqueFd fd_;
  uint16_t port_ = 0;
};

// Connects `client` (an IPv4 socket, or an IPv6 one through the v4-mapped
// address) to 127.0.0.1:`port`.
void ConnectTo(const UniqueFd& client, uint16_t port) {
  sockaddr_storage address{};
  socklen_t size = 0;
  sockaddr_storage own{};
  socklen_t ownSize = sizeof own;
  ::getsockname(client.get(), reinterpret_cast<sockaddr*>(&own), &ownSize);
  if (own.ss_family == AF_INET6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &v6.sin6_addr);
    size = sizeof v6;
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    size = sizeof v4;
  }
  EXPECT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), size), 0) << std::strerror(errno);
}

UniqueFd ConnectTo(uint16_t port) {
  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ConnectTo(client, port);
  return client;
}

struct Way {
  const char* name;
  PeerLookupWay way;
} const kWays[] = {
    {"automatic", PeerLookupWay::Automatic},
    {"socket diagnostics", PeerLookupWay::SocketDiagnostics},
    {"/proc/net tables", PeerLookupWay::ProcTables},
};

TEST(PeerOwnerTest, FindsTheOwnUserOfAConnectionThisProcessOpened) {
  Listener listener;
  struct Case {
    const char* name;
    int family;
    bool boundToLoopback;  // SO_BINDTODEVICE "lo", as its packets travel
    bool halfClosed;       // the client has sent all it will (shutdown)
  } const cases[] = {
      {"IPv4", AF_INET, false, false},
      {"IPv6 socket, v4-mapped address", AF_INET6, false, false},
      {"bound to lo", AF_INET, true, false},
      {"half-closed", AF_INET, false, true},
  };
  for (const Case& c : cases) {
    UniqueFd client(::socket(c.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (c.boundToLoopback &&
        ::setsockopt(client.get(), SOL_SOCKET, SO_BINDTODEVICE, "lo", static_cast<socklen_t>(3)) != 0) {
      continue;  // not allowed to this user on this kernel
    }
    ConnectTo(client, listener.port());
    const UniqueFd accepted = listener.accept();
    ASSERT_TRUE(accepted) << c.name;
    if (c.halfClosed) {
      ASSERT_EQ(::shutdown(client.get(), SHUT_WR), 0);
      char end;
      ASSERT_EQ(::read(accepted.get(), &end, 1), 0) << c.name;  // the end of the client's data has arrived
    }
    for (const Way& way : kWays) {
      const PeerOwner owner = FindPeerOwner(accepted.get(), way.way);
      ASSERT_TRUE(owner.uid.has_value()) << c.name << ", " << way.name << ": " << owner.whyUnknown;
      EXPECT_EQ(*owner.uid, ::geteuid()) << c.name << ", " << way.name;
    }
  }
}

TEST(PeerOwnerTest, FindsAnotherUsersConnection) {
  if (!CanActAsAnotherUser()) GTEST_SKIP() << ForeignUserSkipReason();
  Listener listener;
  // The child connects as the other user and holds its socket until this end
  // closes.
  ForeignClient child(kForeignUid, listener.port(), "");
  const UniqueFd accepted = listener.accept();
  ASSERT_TRUE(accepted) << "no connection from the child";
  for (const Way& way : kWays) {
    const PeerOwner owner = FindPeerOwner(accepted.get(), way.way);
    ASSERT_TRUE(owner.uid.has_value()) << way.name << ": " << owner.whyUnknown;
    EXPECT_EQ(*owner.uid, kForeignUid) << way.name;
  }
}

TEST(PeerOwnerTest, AConnectionWhoseClientEndIsGoneHasNoOwner) {
  Listener listener;
  struct Case {
    const char* name;
    // Closed with a reset: the client's socket is gone at once, and the
    // daemon's end has no peer address left to look up.
    bool reset;
  } const cases[] = {{"closed", false}, {"reset", true}};
  for (const Case& c : cases) {
    UniqueFd client = ConnectTo(listener.port());
    const UniqueFd accepted = listener.accept();
    ASSERT_TRUE(accepted);
    if (c.reset) {
      const linger abort{1, 0};
      ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    client.reset();
    // The kernel keeps a closed client's socket for a while (FIN-WAIT,
    // TIME-WAIT) and reports it with user 0 and no file: that is no owner,
    // whoever runs the test.
    for (const Way& way : kWays) {
      const PeerOwner owner = FindPeerOwner(accepted.get(), way.way);
      EXPECT_FALSE(owner.uid.has_value()) << c.name << ", " << way.name << ": user " << owner.uid.value_or(0);
      EXPECT_FALSE(owner.whyUnknown.empty()) << c.name << ", " << way.name;
    }
  }
}

// Asked for a connection that does not exist, the kernel's lookup offers a
// socket listening on the client's port; that socket, which may be anybody's,
// is not the client.
TEST(PeerOwnerTest, AListeningSocketOnTheClientsPortIsNoClient) {
  Listener listener;
  sockaddr_storage local{};
  sockaddr_storage peer{};
  auto& localV4 = reinterpret_cast<sockaddr_in&>(local);
  auto& peerV4 = reinterpret_cast<sockaddr_in&>(peer);
  localV4.sin_family = peerV4.sin_family = AF_INET;
  localV4.sin_addr.s_addr = peerV4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  localV4.sin_port = htons(1);  // no connection comes from or goes to port 1
  peerV4.sin_port = htons(listener.port());
  for (const Way& way : kWays) {
    const PeerOwner owner = FindPeerOwner(local, peer, way.way);
    EXPECT_FALSE(owner.uid.has_value()) << way.name << ": user " << owner.uid.value_or(0);
  }
}

TEST(PeerOwnerTest, DescriptorsThatAreNoTcpConnectionHaveNoOwner) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const UniqueFd local(pair[0]);
  const UniqueFd other(pair[1]);
  int pipeEnds[2];
  ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
  const UniqueFd readEnd(pipeEnds[0]);
  const UniqueFd writeEnd(pipeEnds[1]);
  Listener listener;  // listening, not connected
  const UniqueFd unconnected(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  for (int fd : {local.get(), readEnd.get(), unconnected.get(), -1}) {
    const PeerOwner owner = FindPeerOwner(fd);
    EXPECT_FALSE(owner.uid.has_value()) << "descriptor " << fd;
    EXPECT_FALSE(owner.whyUnknown.empty()) << "descriptor " << fd;
  }
}

}  // namespace
}  // namespace qel::test
