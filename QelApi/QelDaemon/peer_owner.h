// Which user owns the other end of a TCP connection made on this machine.
// The daemon listens on loopback, which every user of the machine can reach:
// the kernel knows the owner of both ends of such a connection, and the
// daemon asks it, so that it serves only the user who runs it.
//
// The peer's socket is asked for by its exact addresses and ports (the
// client's socket has the connection's remote end as its local end):
// - first through the socket-diagnostics netlink query, which looks the one
//   socket up in the kernel's connection table, whatever the number of
//   sockets on the machine;
// - where that query cannot be used (no netlink, or no TCP diagnostics in the
//   kernel), through the TCP tables under /proc/net (IPv4 and IPv6, since a
//   client on an IPv6 socket reaches an IPv4 listener through a v4-mapped
//   address), which is a scan.
//
// Only a socket that a process still holds, connected to the daemon's end,
// has an owner: a peer that has already closed its end (a socket left in
// FIN-WAIT or TIME-WAIT, which the kernel reports with no file and user 0), a
// socket still connecting, and a socket listening on the client's port
// (which the kernel offers when the client's is gone) count as not found.
//
// The owner is the user who made the socket: a socket handed to a process
// of another user (passed over a Unix socket, inherited) keeps its maker.
//
// In a user namespace that does not map every uid onto itself, an owner that
// reads as the overflow uid is unknown: every user without a mapping there
// reads as that number (user_namespace.h).
//
// The netlink query is given up for the rest of the process (with one line in
// the log) only when the kernel cannot answer it at all: no netlink, no socket
// diagnostics, a query refused by a security policy. A lookup that fails for
// a passing reason (no free descriptor, no memory or buffers, no answer in
// time) falls back to the tables for itself alone, says nothing, and the next
// lookup asks the kernel again.
//
// Thread safety: free functions; each lookup uses its own netlink socket.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "QelDaemon/user_namespace.h"

namespace qel {

struct PeerOwner {
  std::optional<uid_t> uid;
  // Why the owner is unknown, when `uid` is empty ("the client has closed
  // its end of the connection", ...).
  std::string whyUnknown;
};

enum class PeerLookupWay {
  Automatic,          // socket diagnostics, the tables where it cannot be used
  SocketDiagnostics,  // only the netlink query
  ProcTables,         // only the scan of /proc/net/tcp and /proc/net/tcp6
};

// The owner of the process side at the far end of the connected TCP socket
// `socket` (a socket of this process, for example an accepted one), with the
// uids read as `users` says (read once by a caller that looks up many).
PeerOwner FindPeerOwner(int socket, const UserNamespace& users, PeerLookupWay way = PeerLookupWay::Automatic);

// The same with this process's user namespace read for this one lookup.
PeerOwner FindPeerOwner(int socket, PeerLookupWay way = PeerLookupWay::Automatic);

// The same for the connection between `local` (this machine's end, as
// getsockname gives it) and `peer` (as getpeername gives it).
PeerOwner FindPeerOwner(const sockaddr_storage& local, const sockaddr_storage& peer, const UserNamespace& users,
                        PeerLookupWay way = PeerLookupWay::Automatic);

// False once the netlink query has been found unavailable on this machine
// (automatic lookups read the tables from then on).
bool SocketDiagnosticsAvailable();

// Forgets that finding, and that it was logged (tests that make the query
// unavailable on purpose put the process back as it was).
void ResetSocketDiagnosticsForTesting();

}  // namespace qel
