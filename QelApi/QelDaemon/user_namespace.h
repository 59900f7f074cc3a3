// What the user ids the kernel reports mean in the daemon's user namespace.
//
// The kernel reports the owner of a socket as seen from the user namespace of
// the process that asks. A user with no mapping there reads as the overflow
// uid (/proc/sys/kernel/overflowuid, normally 65534), the same number for every
// such user. In the initial namespace every uid maps onto itself, so the
// overflow uid is just another user (the "nobody" account). In any other
// namespace (a container's, one made by `unshare -U`) that number may stand
// for any user of the machine that the namespace does not map: it names
// nobody in particular, and the daemon's own uid may read as it too.
//
// Thread safety: a UserNamespace is a value; ReadUserNamespace and
// MapsEveryUidOntoItself are reentrant.
#pragma once

#include <sys/types.h>

#include <string_view>

namespace qel {

// The kernel's overflow uid when /proc/sys/kernel/overflowuid cannot be read.
inline constexpr uid_t kDefaultOverflowUid = 65534;

class UserNamespace {
 public:
  // A namespace that maps every uid onto itself (the initial one).
  UserNamespace() = default;
  UserNamespace(bool mapsEveryUid, uid_t overflowUid) : mapsEveryUid_(mapsEveryUid), overflowUid_(overflowUid) {}

  // True when `uid`, as the kernel reports it here, may be any user without a
  // mapping: it tells nothing about who the user is.
  bool isUnmappedUser(uid_t uid) const { return !mapsEveryUid_ && uid == overflowUid_; }

  bool mapsEveryUid() const { return mapsEveryUid_; }
  uid_t overflowUid() const { return overflowUid_; }

 private:
  bool mapsEveryUid_ = true;
  uid_t overflowUid_ = kDefaultOverflowUid;
};

// The namespace of the calling process, from /proc/self/uid_map and
// /proc/sys/kernel/overflowuid. A process's namespace changes only when the
// process itself enters another (which a process with threads cannot), so
// one reading serves a server for its whole life. A map that cannot be read
// counts as one that does not map every uid: the overflow uid is then taken
// for nobody's rather than for a user's.
UserNamespace ReadUserNamespace();

// True when `uidMap`, the text of a uid_map file ("inside outside count" per
// line), maps every uid from 0 to 4294967294 onto itself: the single line
// "0 0 4294967295" of the initial namespace, or identity lines that together
// cover that range. Anything else (a partial map, a shifted one, no line at
// all, text that is no map) is false.
bool MapsEveryUidOntoItself(std::string_view uidMap);

}  // namespace qel
