// Who owns the far end of a loopback connection: the kernel's answer through
// socket diagnostics and through the /proc/net tables, for connections the
// test opens itself, for another user's (when the test may change its uid),
// for connections whose far end is gone, and inside a user namespace that
// maps no uid; and when the netlink query is given up.
#include "QelDaemon/peer_owner.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "QelDaemon/user_namespace.h"
#include "QelApi/QelDaemon/daemon_fixture.h"
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
    const PeerOwner owner = FindPeerOwner(local, peer, ReadUserNamespace(), way.way);
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

TEST(UserNamespaceTest, OnlyAMapOfEveryUidOntoItselfMapsEveryUid) {
  struct Case {
    const char* name;
    const char* uidMap;
    bool mapsEveryUid;
  } const cases[] = {
      {"initial namespace, as the kernel prints it", "         0          0 4294967295\n", true},
      {"the same without padding or line end", "0 0 4294967295", true},
      {"identity in two lines", "0 0 1000\n1000 1000 4294966295\n", true},
      {"identity in two lines, the later range first", "1000 1000 4294966295\n0 0 1000\n", true},
      {"no map (unshare -U)", "", false},
      {"blank lines only", "\n\n", false},
      {"root mapped onto one user (unshare -r)", "         0       1000          1\n", false},
      {"container range", "0 100000 65536\n", false},
      {"identity of the first 65536 uids only", "0 0 65536\n", false},
      {"identity with a hole", "0 0 1000\n1001 1001 4294966294\n", false},
      {"identity and a shifted line", "0 0 4294967294\n4294967294 7 1\n", false},
      {"count beyond 32 bits", "0 0 4294967296\n", false},
      {"negative count", "0 0 -1\n", false},
      {"a fourth field", "0 0 4294967295 1\n", false},
      {"not numbers", "zero zero all\n", false},
  };
  for (const Case& c : cases) EXPECT_EQ(MapsEveryUidOntoItself(c.uidMap), c.mapsEveryUid) << c.name;
}

// In a user namespace that maps no uid (as `unshare -U` makes one), every
// user of the machine, this process's own included, reads as the overflow
// uid. That number then is nobody's: a connection that reads as it has no
// known owner, however it was looked up.
TEST(PeerOwnerTest, InAUserNamespaceWithoutAMapTheOverflowUidIsNoOwner) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A user namespace is entered by a process of one thread: this child.
    // What it finds goes to the parent as text; its exit code says how it went.
    readEnd.reset();
    std::string report;
    const auto leave = [&](int code) {
      [[maybe_unused]] const ssize_t written = ::write(writeEnd.get(), report.data(), report.size());
      ::_exit(code);
    };
    if (::unshare(CLONE_NEWUSER) != 0) {
      report = std::strerror(errno);
      leave(2);
    }
    const UserNamespace users = ReadUserNamespace();
    if (users.mapsEveryUid() || ::geteuid() != users.overflowUid()) {
      report = "the new namespace does not show this process as the overflow uid";
      leave(1);
    }
    Listener listener;
    const UniqueFd client = ConnectTo(listener.port());
    const UniqueFd accepted = listener.accept();
    if (!accepted) {
      report = "no connection";
      leave(1);
    }
    for (const Way& way : kWays) {
      // The kernel's answer itself: the overflow uid, which is also what
      // this process's own uid reads as.
      const PeerOwner raw = FindPeerOwner(accepted.get(), UserNamespace(), way.way);
      if (raw.uid != users.overflowUid())
        report += std::string(way.name) + ": the kernel did not report the overflow uid; ";
      for (const PeerOwner& owner :
           {FindPeerOwner(accepted.get(), users, way.way), FindPeerOwner(accepted.get(), way.way)}) {
        if (owner.uid) {
          report += std::string(way.name) + ": owned by user " + std::to_string(*owner.uid) + "; ";
        } else if (owner.whyUnknown.find("overflow uid") == std::string::npos) {
          report += std::string(way.name) + ": unknown for another reason (" + owner.whyUnknown + "); ";
        }
      }
    }
    leave(report.empty() ? 0 : 1);
  }
  writeEnd.reset();
  std::string report;
  char buffer[512];
  // A child that hangs (a lock another thread held at the fork) is ended.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  bool ended = false;
  while (!ended) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd ready{readEnd.get(), POLLIN, 0};
    if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) == 0) break;
    const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ended = true;
    if (n > 0) report.append(buffer, static_cast<size_t>(n));
  }
  if (!ended) ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(ended) << "the child did not finish in two minutes: " << report;
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  if (WEXITSTATUS(status) == 2)
    GTEST_SKIP() << "this kernel lets no process of this user enter a user namespace: " << report;
  EXPECT_EQ(WEXITSTATUS(status), 0) << report;
}

// Makes socket(AF_NETLINK, ...) fail with `error` on the calling thread, and
// on it alone, for the rest of its life. False when the kernel does not let
// the thread filter its system calls.
bool FailNetlinkSocketsOnThisThread(int error) {
  // The low half of the first argument, the address family.
  constexpr uint32_t kFamily =
      static_cast<uint32_t>(offsetof(seccomp_data, args[0]) + (std::endian::native == std::endian::big ? 4 : 0));
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(offsetof(seccomp_data, nr))),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kFamily),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++count;
  return count;
}

// With the daemon's log, which says when the netlink query is given up.
using PeerOwnerLogTest = DaemonFixture;

// The query is given up, with one line in the log, only when the kernel
// cannot answer it. A lookup that could not make its netlink socket for want
// of a descriptor, memory or buffers reads the tables for itself alone, says
// nothing, and leaves the query to the next lookup.
TEST_F(PeerOwnerLogTest, TheQueryIsGivenUpOnlyWhenTheKernelCannotAnswerIt) {
  Listener listener;
  const UniqueFd client = ConnectTo(listener.port());
  const UniqueFd accepted = listener.accept();
  ASSERT_TRUE(accepted);
  if (!FindPeerOwner(accepted.get(), PeerLookupWay::SocketDiagnostics).uid) {
    GTEST_SKIP() << "this kernel has no socket diagnostics to give up";
  }
  const std::string logFile = settings_.logFolder + "/QelApi.log";
  const std::string warning = "socket diagnostics cannot be used";
  struct Case {
    const char* name;
    int error;
    bool givenUp;
  } const cases[] = {
      {"no free descriptor in the process", EMFILE, false},
      {"no free descriptor in the system", ENFILE, false},
      {"no buffer space", ENOBUFS, false},
      {"no memory", ENOMEM, false},
      {"no netlink", EAFNOSUPPORT, true},
      {"no socket diagnostics", EPROTONOSUPPORT, true},
      {"refused by a security policy", EACCES, true},
  };
  for (const Case& c : cases) {
    const size_t warningsBefore = Occurrences(readFile(logFile), warning);
    bool filtered = false;
    int filterError = 0;
    std::optional<PeerOwner> owner;
    std::thread([&] {
      filtered = FailNetlinkSocketsOnThisThread(c.error);
      filterError = errno;
      if (filtered) owner = FindPeerOwner(accepted.get());
    }).join();
    if (!filtered) {
      GTEST_SKIP() << "this kernel does not let a thread filter its system calls: " << std::strerror(filterError);
    }
    // The tables answered instead.
    ASSERT_TRUE(owner->uid.has_value()) << c.name << ": " << owner->whyUnknown;
    EXPECT_EQ(*owner->uid, ::geteuid()) << c.name;
    EXPECT_EQ(Occurrences(readFile(logFile), warning), warningsBefore + (c.givenUp ? 1 : 0)) << c.name;
    EXPECT_EQ(SocketDiagnosticsAvailable(), !c.givenUp) << c.name;
    // Later lookups answer either way, and the line is not written again.
    EXPECT_EQ(FindPeerOwner(accepted.get()).uid, std::optional<uid_t>(::geteuid())) << c.name;
    EXPECT_EQ(Occurrences(readFile(logFile), warning), warningsBefore + (c.givenUp ? 1 : 0)) << c.name;
    ResetSocketDiagnosticsForTesting();
  }
}

}  // namespace
}  // namespace qel::test
