// Code run as another user of the machine, for the tests of what a process of
// that user may and may not do to files: a forked child that changes to the
// user and runs the body. Changing the user needs root (and the right to do
// it, which a container may withhold); tests skip where it is missing.
//
// The child is forked from the test process: start it before the test starts
// threads of its own (an engine, a server), so that no lock is held across
// the fork.
//
// Thread safety: one call at a time per test.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace qel::test {

// "nobody": a user that owns nothing of the test's.
inline constexpr uid_t kOtherUid = 65534;

// Makes the calling process `uid` (no other groups, group id the same
// number). 0, or a number that says which step failed (10: the groups, 11:
// the group, 12: the user). Raw system calls: in a child forked from a
// threaded test process they change the one thread it has and take no lock.
int changeUserOfThisProcess(uid_t uid);

// Runs `body` in a child process as user `uid` (group `uid`, no other
// groups). The body returns an empty text when all it checks holds, else
// what failed. nullopt, with the reason in `skipReason`, when the child
// could not change its user; a body that throws or dies fails.
std::optional<std::string> runAsUser(uid_t uid, const std::function<std::string()>& body, std::string& skipReason);

}  // namespace qel::test
