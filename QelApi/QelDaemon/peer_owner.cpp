#include "QelDaemon/peer_owner.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string_view>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "QelDaemon/replies.h"
#include "QelDaemon/whole_number.h"
#include "common/unique_fd.h"

namespace qel {
namespace {

// One end of a TCP connection. A v4-mapped IPv6 address is kept as the IPv4
// address it maps, so that both spellings of one end compare equal.
struct Endpoint {
  int family = AF_UNSPEC;
  std::array<uint8_t, 16> address{};  // 4 bytes used for IPv4
  uint16_t port = 0;                  // host order

  size_t addressSize() const { return family == AF_INET ? 4 : 16; }
  bool operator==(const Endpoint& other) const {
    return family == other.family && port == other.port &&
           std::memcmp(address.data(), other.address.data(), addressSize()) == 0;
  }
};

Endpoint Canonical(Endpoint endpoint) {
  static constexpr uint8_t kV4MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (endpoint.family == AF_INET6 && std::memcmp(endpoint.address.data(), kV4MappedPrefix, 12) == 0) {
    endpoint.family = AF_INET;
    std::memmove(endpoint.address.data(), endpoint.address.data() + 12, 4);
    std::memset(endpoint.address.data() + 4, 0, 12);
  }
  return endpoint;
}

std::optional<Endpoint> ToEndpoint(const sockaddr_storage& storage) {
  Endpoint endpoint;
  if (storage.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(storage);
    endpoint.family = AF_INET;
    std::memcpy(endpoint.address.data(), &v4.sin_addr, 4);
    endpoint.port = ntohs(v4.sin_port);
  } else if (storage.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(storage);
    endpoint.family = AF_INET6;
    std::memcpy(endpoint.address.data(), &v6.sin6_addr, 16);
    endpoint.port = ntohs(v6.sin6_port);
  } else {
    return std::nullopt;
  }
  return Canonical(endpoint);
}

// Reentrant, unlike strerror: lookups run on several server threads at once.
std::string SystemMessage(int error) { return std::error_code(error, std::generic_category()).message(); }

// Why a way of looking gave no answer.
enum class Failure {
  None,     // it answered (an owner, or that there is none)
  Passing,  // not this time: the next lookup may ask again
  Lasting,  // it cannot answer on this machine
};

// What one way of looking found.
struct Lookup {
  PeerOwner owner;
  Failure failure = Failure::None;  // when not None, owner.whyUnknown says why
  bool notFound = false;            // no socket is the client of the connection

  bool answered() const { return failure == Failure::None; }
};

Lookup Failed(Failure failure, std::string why) { return {{std::nullopt, std::move(why)}, failure, false}; }
Lookup NotFound() {
  return {{std::nullopt, "no socket on this machine is the client of the connection"}, Failure::None, true};
}

// Errors that tell nothing about the query itself: this one lookup lacked a
// descriptor, memory or buffers, or was interrupted (a missing answer is
// another matter, see the receive). Any other error means that this
// kernel cannot answer it: no netlink (EAFNOSUPPORT), no socket diagnostics
// (EPROTONOSUPPORT, EOPNOTSUPP), a security policy (EACCES, EPERM).
Failure FailureOf(int error) {
  switch (error) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EINTR:
    case EAGAIN:
    case ETIMEDOUT: return Failure::Passing;
    default: return Failure::Lasting;
  }
}

Lookup Failed(int error, std::string_view what) {
  return Failed(FailureOf(error), fmt::format("{}: {}", what, SystemMessage(error)));
}

// The states of a socket at one end of a connection that has been made. A
// socket still connecting (SYN-SENT) or listening is not the client of a
// connection the daemon has accepted, whatever its addresses say.
bool Connected(unsigned state) {
  switch (state) {
    case TCP_ESTABLISHED:
    case TCP_FIN_WAIT1:
    case TCP_FIN_WAIT2:
    case TCP_CLOSE_WAIT:
    case TCP_LAST_ACK:
    case TCP_CLOSING: return true;
    default: return false;
  }
}

// The owner of the socket found. One that no process holds any more (its file
// is gone) belongs to nobody: the kernel reports its user as 0, which must
// not pass for root.
Lookup OwnedSocket(uid_t uid, uint64_t inode, unsigned state) {
  if (inode == 0) return {{std::nullopt, "the client has closed its end of the connection"}, Failure::None, false};
  if (!Connected(state)) return NotFound();
  return {{uid, {}}, Failure::None, false};
}

// The connections the daemon accepts come over the loopback device. Looked
// up as arriving there, as their packets do, a client socket bound to it
// (SO_BINDTODEVICE "lo") is found as well as an unbound one, and both ways
// of looking agree.
unsigned LoopbackIndex() {
  static const unsigned index = ::if_nametoindex("lo");
  return index;
}

// Set once the netlink query has answered with a socket: the kernel has TCP
// diagnostics, so its "no such socket" is the truth and needs no scan to
// confirm.
std::atomic<bool> gSocketDiagnosticsAnswer{false};

// Set once the netlink query has failed in a way that says this kernel cannot
// answer it: automatic lookups read the tables from then on. Whoever sets it
// writes the one line that says so.
std::atomic<bool> gSocketDiagnosticsUnavailable{false};

// Asks the kernel for the one socket whose local end is `peer` and whose
// remote end is `local`.
Lookup BySocketDiagnostics(const Endpoint& peer, const Endpoint& local) {
  const UniqueFd netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!netlink) return Failed(errno, "no socket-diagnostics netlink socket");
  // The kernel answers within the send; the bound only keeps a server thread
  // from hanging on a kernel that never does.
  const timeval bound{1, 0};
  ::setsockopt(netlink.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);

  constexpr uint32_t kSequence = 1;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;  // one socket, no dump
  request.header.nlmsg_seq = kSequence;
  request.body.sdiag_family = static_cast<uint8_t>(peer.family);
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = ~0U;
  request.body.id.idiag_sport = htons(peer.port);
  request.body.id.idiag_dport = htons(local.port);
  std::memcpy(request.body.id.idiag_src, peer.address.data(), peer.addressSize());
  std::memcpy(request.body.id.idiag_dst, local.address.data(), local.addressSize());
  request.body.id.idiag_if = LoopbackIndex();
  request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  const ssize_t sent =
      ::sendto(netlink.get(), &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
  if (sent < 0) return Failed(errno, "socket-diagnostics query not sent");
  if (sent != static_cast<ssize_t>(sizeof request))
    return Failed(Failure::Lasting, "socket-diagnostics query cut short");
  alignas(nlmsghdr) char answer[8192];
  sockaddr_nl sender{};
  ssize_t received;
  do {
    socklen_t senderSize = sizeof sender;
    received = ::recvfrom(netlink.get(), answer, sizeof answer, 0, reinterpret_cast<sockaddr*>(&sender), &senderSize);
  } while (received < 0 && errno == EINTR);
  if (received < 0) {
    // The kernel answers within the send: an answer not there by the bound
    // never comes, and every later lookup would wait as long.
    const int error = errno;
    const bool noAnswer = error == EAGAIN || error == ETIMEDOUT;
    return Failed(noAnswer ? Failure::Lasting : FailureOf(error),
                  fmt::format("no socket-diagnostics answer: {}", SystemMessage(error)));
  }
  // Another process's message to this socket says nothing about the kernel.
  if (sender.nl_pid != 0) return Failed(Failure::Passing, "a socket-diagnostics answer that is not the kernel's");

  int remaining = static_cast<int>(received);
  for (auto* message = reinterpret_cast<const nlmsghdr*>(answer); NLMSG_OK(message, remaining);
       message = NLMSG_NEXT(message, remaining)) {
    if (message->nlmsg_seq != kSequence) continue;
    if (message->nlmsg_type == NLMSG_ERROR) {
      if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) break;
      const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(message))->error;
      // No such socket, or (before any answer has shown otherwise) no TCP
      // diagnostics in this kernel: the kernel says both with ENOENT.
      if (error == ENOENT) return NotFound();
      return Failed(error, "socket-diagnostics query refused");
    }
    if (message->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
      if (message->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) break;
      gSocketDiagnosticsAnswer.store(true);
      const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
      // With the client's socket gone, the kernel's lookup falls back to a
      // socket listening on the client's port, which may be anybody's: only
      // the socket connected to this end is the client.
      if (ntohs(socket->id.idiag_sport) != peer.port || ntohs(socket->id.idiag_dport) != local.port) {
        return NotFound();
      }
      return OwnedSocket(socket->idiag_uid, socket->idiag_inode, socket->idiag_state);
    }
  }
  return Failed(Failure::Lasting, "malformed socket-diagnostics answer");
}

// "0100007F:1F90" (IPv4) or 32 hex digits and a port (IPv6): each group of
// eight digits is a 32-bit word of the address as the kernel holds it, in
// network order, printed as a number of this machine.
std::optional<Endpoint> ParseTableEndpoint(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon != 8 && colon != 32) return std::nullopt;
  Endpoint endpoint;
  endpoint.family = colon == 8 ? AF_INET : AF_INET6;
  for (size_t word = 0; word * 8 < colon; ++word) {
    uint32_t value = 0;
    if (!ParseWhole(text.substr(word * 8, 8), value, 16)) return std::nullopt;
    std::memcpy(endpoint.address.data() + word * 4, &value, 4);
  }
  if (!ParseWhole(text.substr(colon + 1), endpoint.port, 16)) return std::nullopt;
  return Canonical(endpoint);
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t at = 0;
  while (true) {
    at = line.find_first_not_of(' ', at);
    if (at == std::string_view::npos) return fields;
    const size_t end = std::min(line.find(' ', at), line.size());
    fields.push_back(line.substr(at, end - at));
    at = end;
  }
}

// The same question through the TCP tables: one line per socket, with
// "local_address rem_address st ... uid timeout inode".
Lookup ByProcTables(const Endpoint& peer, const Endpoint& local) {
  constexpr size_t kLocal = 1, kRemote = 2, kState = 3, kUid = 7, kInode = 9;
  bool read = false;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream file(table);
    if (!file) continue;
    read = true;
    std::string line;
    std::getline(file, line);  // the column names
    while (std::getline(file, line)) {
      const std::vector<std::string_view> fields = Fields(line);
      if (fields.size() <= kInode) continue;
      const std::optional<Endpoint> lineLocal = ParseTableEndpoint(fields[kLocal]);
      if (!lineLocal || !(*lineLocal == peer)) continue;
      const std::optional<Endpoint> lineRemote = ParseTableEndpoint(fields[kRemote]);
      if (!lineRemote || !(*lineRemote == local)) continue;
      uid_t uid = 0;
      uint64_t inode = 0;
      unsigned state = 0;
      if (!ParseWhole(fields[kUid], uid, 10) || !ParseWhole(fields[kInode], inode, 10) ||
          !ParseWhole(fields[kState], state, 16)) {
        return Failed(Failure::Lasting, fmt::format("unreadable line in {}", table));
      }
      return OwnedSocket(uid, inode, state);
    }
  }
  if (!read) return Failed(Failure::Lasting, "the TCP tables under /proc/net cannot be read");
  return NotFound();
}

// The kernel's answer, by `way`.
Lookup Look(const Endpoint& peer, const Endpoint& local, PeerLookupWay way) {
  const bool askKernel = way == PeerLookupWay::SocketDiagnostics ||
                         (way == PeerLookupWay::Automatic && !gSocketDiagnosticsUnavailable.load());
  Lookup diagnostics;
  if (askKernel) {
    diagnostics = BySocketDiagnostics(peer, local);
    const bool trusted = diagnostics.answered() && (!diagnostics.notFound || gSocketDiagnosticsAnswer.load());
    if (trusted || way == PeerLookupWay::SocketDiagnostics) return diagnostics;
    if (diagnostics.failure == Failure::Lasting && !gSocketDiagnosticsUnavailable.exchange(true)) {
      // A scan costs more the more sockets the machine has: worth a line.
      DaemonLog('w', "socket diagnostics cannot be used (" + diagnostics.owner.whyUnknown +
                         "): connections are looked up in the TCP tables under /proc/net instead");
    }
  }
  Lookup tables = ByProcTables(peer, local);
  if (!tables.answered() && askKernel) {
    tables.owner.whyUnknown = diagnostics.owner.whyUnknown + "; " + tables.owner.whyUnknown;
  }
  return tables;
}

}  // namespace

PeerOwner FindPeerOwner(int socket, PeerLookupWay way) { return FindPeerOwner(socket, ReadUserNamespace(), way); }

PeerOwner FindPeerOwner(int socket, const UserNamespace& users, PeerLookupWay way) {
  sockaddr_storage localAddress{};
  sockaddr_storage peerAddress{};
  socklen_t localSize = sizeof localAddress;
  socklen_t peerSize = sizeof peerAddress;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&localAddress), &localSize) != 0 ||
      ::getpeername(socket, reinterpret_cast<sockaddr*>(&peerAddress), &peerSize) != 0) {
    return {std::nullopt, "the connection's addresses cannot be read: " + SystemMessage(errno)};
  }
  return FindPeerOwner(localAddress, peerAddress, users, way);
}

PeerOwner FindPeerOwner(const sockaddr_storage& localAddress, const sockaddr_storage& peerAddress,
                        const UserNamespace& users, PeerLookupWay way) {
  const std::optional<Endpoint> local = ToEndpoint(localAddress);
  const std::optional<Endpoint> peer = ToEndpoint(peerAddress);
  if (!local || !peer || local->family != peer->family) return {std::nullopt, "not a TCP/IP connection"};
  PeerOwner owner = Look(*peer, *local, way).owner;
  if (owner.uid && users.isUnmappedUser(*owner.uid)) {
    return {std::nullopt, fmt::format("it reads as uid {}, the overflow uid, which stands for every user without a "
                                      "mapping in the daemon's user namespace",
                                      *owner.uid)};
  }
  return owner;
}

bool SocketDiagnosticsAvailable() { return !gSocketDiagnosticsUnavailable.load(); }

void ResetSocketDiagnosticsForTesting() { gSocketDiagnosticsUnavailable.store(false); }

}  // namespace qel
