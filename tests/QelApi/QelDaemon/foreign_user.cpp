#include "QelApi/QelDaemon/foreign_user.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace qel::test {

bool CanActAsAnotherUser() {
  // Root may still lack the right (a user namespace, a container without
  // CAP_SETUID): try it once in a child.
  static const bool can = [] {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(changeUserOfThisProcess(kForeignUid));
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }();
  return can;
}

std::string ForeignUserSkipReason() {
  return "a client of another user needs a change to user " + std::to_string(kForeignUid) +
         ", which this test process (user " + std::to_string(::geteuid()) + ") may not make";
}

std::string UpgradeRequest(uint16_t port) {
  return "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

std::string TextFrames(const std::vector<std::string>& messages) {
  std::string bytes;
  const unsigned char mask[4] = {0x12, 0x34, 0x56, 0x78};
  for (const std::string& text : messages) {
    bytes += static_cast<char>(0x81);  // the final frame of a text message
    if (text.size() < 126) {
      bytes += static_cast<char>(0x80 | text.size());
    } else if (text.size() < 65536) {
      bytes += static_cast<char>(0x80 | 126);
      bytes += static_cast<char>(text.size() >> 8);
      bytes += static_cast<char>(text.size() & 0xff);
    } else {
      throw std::invalid_argument("message too long for this client");
    }
    bytes.append(reinterpret_cast<const char*>(mask), 4);
    for (size_t i = 0; i < text.size(); ++i) bytes += static_cast<char>(text[i] ^ mask[i % 4]);
  }
  return bytes;
}

namespace {

bool WriteAll(int fd, const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + sent, bytes.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// True once `bytes` (of `size`) hold the end of the answer's header.
bool HeaderEnded(const char* bytes, size_t size) {
  for (size_t i = 3; i < size; ++i) {
    if (bytes[i - 3] == '\r' && bytes[i - 2] == '\n' && bytes[i - 1] == '\r' && bytes[i] == '\n') return true;
  }
  return false;
}

}  // namespace

ForeignClient::ForeignClient(uid_t uid, uint16_t port, std::string request, std::string afterUpgrade)
    : request_(std::move(request)), afterUpgrade_(std::move(afterUpgrade)) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // The test process has threads: from here on only system calls and
    // plain loops. Nothing of the test's (the daemon's sockets, files) stays
    // open in the other user's process but the pipe to the parent.
    if (ends[1] > 3) ::syscall(SYS_close_range, 3U, static_cast<unsigned>(ends[1] - 1), 0U);
    ::syscall(SYS_close_range, static_cast<unsigned>(ends[1] + 1), ~0U, 0U);
    if (const int failed = changeUserOfThisProcess(uid)) ::_exit(failed);
    // Set after the change of user, which clears it; a parent gone before
    // that is not noticed by it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(17);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) ::_exit(13);
    const timeval bound{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ::_exit(14);
    if (!WriteAll(fd, request_)) ::_exit(15);
    // The header is kept to look at its status line; everything read goes
    // to the parent as it comes.
    char header[4096];
    size_t headerSize = 0;
    bool headerEnded = false;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
      if (::write(ends[1], buffer, static_cast<size_t>(n)) != n) ::_exit(16);
      if (headerEnded) continue;
      for (ssize_t i = 0; i < n && headerSize < sizeof header; ++i) header[headerSize++] = buffer[i];
      if (!HeaderEnded(header, headerSize)) continue;
      headerEnded = true;
      // "HTTP/1.1 101 ..."
      if (headerSize > 12 && header[9] == '1' && header[10] == '0' && header[11] == '1' && header[12] == ' ' &&
          !WriteAll(fd, afterUpgrade_)) {
        ::_exit(15);
      }
    }
    ::_exit(0);
  }
  ::close(ends[1]);
  output_ = ends[0];
}

ForeignClient::~ForeignClient() { wait(); }

void ForeignClient::wait() {
  if (output_ >= 0) {
    ::close(output_);
    output_ = -1;
  }
  if (pid_ > 0) {
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
}

std::string ForeignClient::received(std::string& error) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; output_ >= 0 && (n = ::read(output_, buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  wait();
  static const char* const kStages[] = {
      "drop the groups", "change the group", "change the user",          "make a socket",
      "connect",         "send its request", "pass on what it received", "run once its parent had gone"};
  if (WIFEXITED(status_) && WEXITSTATUS(status_) >= 10 && WEXITSTATUS(status_) <= 17) {
    error = std::string("the child could not ") + kStages[WEXITSTATUS(status_) - 10];
  } else if (!WIFEXITED(status_) || WEXITSTATUS(status_) != 0) {
    error = "the child ended abnormally (status " + std::to_string(status_) + ")";
  }
  return text;
}

}  // namespace qel::test
