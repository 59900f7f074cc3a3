// Another login of the same machine, for the tests of who the daemon serves:
// a child process that changes to another user and talks to a loopback port.
// Changing the user needs root; tests that need it are skipped otherwise.
//
// Thread safety: one ForeignClient per thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/as_other_user.h"

namespace qel::test {

// "nobody": a user that owns nothing of the test's.
inline constexpr uid_t kForeignUid = kOtherUid;

// True when this process may change its user (it runs as root).
bool CanActAsAnotherUser();
// The message of a test skipped because it cannot.
std::string ForeignUserSkipReason();

// A WebSocket upgrade request for "/" with Host 127.0.0.1:`port`.
std::string UpgradeRequest(uint16_t port);
// `messages` as the masked text frames a client sends.
std::string TextFrames(const std::vector<std::string>& messages);

// A child process running as `uid` (groups dropped, group id the same
// number) that connects to 127.0.0.1:`port` and sends `request`; when the
// answer's status line says 101 (the upgrade was accepted) it sends
// `afterUpgrade` too. It reads until the server closes, holding its socket
// open meanwhile (at most 60 s).
class ForeignClient {
 public:
  ForeignClient(uid_t uid, uint16_t port, std::string request, std::string afterUpgrade = "");
  // Waits for the child, which ends once the server has closed.
  ~ForeignClient();
  ForeignClient(const ForeignClient&) = delete;
  ForeignClient& operator=(const ForeignClient&) = delete;

  // Everything the server sent, read until it closed. Empty, with the reason
  // in `error`, when the child could not run as that user or connect.
  std::string received(std::string& error);

 private:
  void wait();
  pid_t pid_ = -1;
  int output_ = -1;  // the pipe the child copies what it receives into
  int status_ = 0;
  std::string request_;
  std::string afterUpgrade_;
};

}  // namespace qel::test
