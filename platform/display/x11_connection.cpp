#include "platform/display/x11_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <map>

namespace platform::x11 {

int HandleXError(Display* display, XErrorEvent* event);

namespace {

thread_local ErrorTrap* currentTrap = nullptr;

// The connections opened here, each with whether its server was lost. An
// entry lives exactly as long as its connection: made by OpenDisplay, taken
// out by the closer before Xlib frees the Display, so a later connection that
// Xlib places at the same address starts afresh. A display Xlib reports that
// is not (or no longer) here is none of ours and records nothing.
// Never destroyed: connections are closed, and asked about, by objects that
// die during the process's exit (the display layer's backing), after statics
// made later than them are already gone.
std::mutex& connectionsMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::map<Display*, bool>& openConnections() {
  static auto* connections = new std::map<Display*, bool>;
  return *connections;
}

void MarkLost(Display* display) {
  std::lock_guard lock(connectionsMutex());
  const auto found = openConnections().find(display);
  if (found != openConnections().end()) found->second = true;
}

int HandleIoError(Display* display) {
  MarkLost(display);
  std::fprintf(stderr, "platform: the X server connection was lost\n");
  return 0;
}

// Replaces Xlib's exit: returning makes the request fail, and the connection
// stays marked as broken.
void KeepRunningAfterIoError(Display* display, void*) { MarkLost(display); }

void InstallHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(HandleXError);
    XSetIOErrorHandler(HandleIoError);
  });
}

}  // namespace

int HandleXError(Display* display, XErrorEvent* event) {
  for (ErrorTrap* trap = currentTrap; trap != nullptr; trap = trap->outer_) {
    if (trap->display_ == display) {
      if (trap->firstError_ == 0) trap->firstError_ = event->error_code;
      return 0;
    }
  }
  // An error outside any trap (an asynchronous request): noted, never fatal.
  std::fprintf(stderr, "platform: X error %d (request %d.%d)\n", event->error_code, event->request_code,
               event->minor_code);
  return 0;
}

void DisplayCloser::operator()(Display* display) const {
  if (display == nullptr) return;
  bool lost = false;
  {
    std::lock_guard lock(connectionsMutex());
    const auto found = openConnections().find(display);
    if (found != openConnections().end()) {
      lost = found->second;
      openConnections().erase(found);
    }
  }
  if (lost) {
    // Xlib's memory of the connection is left behind: the process is about
    // to end or has lost its screen for good.
    ::close(ConnectionNumber(display));
    return;
  }
  XCloseDisplay(display);
}

namespace {

// A stream socket connected within `timeoutMs`, or -1.
int ConnectWithin(int family, const sockaddr* address, socklen_t length, int timeoutMs) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (::connect(fd, address, length) == 0) return fd;
  if (errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    if (::poll(&p, 1, timeoutMs) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0)
      return fd;
  }
  ::close(fd);
  return -1;
}

bool UnixSocketAnswers(const std::string& path, bool abstract) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t offset = abstract ? 1 : 0;  // an abstract name starts with a 0 byte
  if (path.size() + offset >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  const auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
  const int fd = ConnectWithin(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), length, 2000);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool TcpAnswers(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool answered = false;
  for (addrinfo* a = found; a != nullptr && !answered; a = a->ai_next) {
    const int fd = ConnectWithin(a->ai_family, a->ai_addr, a->ai_addrlen, 2000);
    if (fd >= 0) {
      ::close(fd);
      answered = true;
    }
  }
  ::freeaddrinfo(found);
  return answered;
}

// Whether anything accepts connections where the display `name`
// ("[protocol/]host:number[.screen]") listens, as Xlib would connect to it.
bool ServerListens(const std::string& name) {
  const size_t colon = name.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = name.substr(0, colon);
  const std::string rest = name.substr(colon + 1);
  char* end = nullptr;
  const long number = std::strtol(rest.c_str(), &end, 10);
  if (end == rest.c_str() || number < 0 || number > 59535) return false;
  std::string protocol;
  if (const size_t slash = host.find('/'); slash != std::string::npos && host[0] != '/') {
    protocol = host.substr(0, slash);
    host = host.substr(slash + 1);
  }
  if (!host.empty() && host[0] == '/') return UnixSocketAnswers(host, false);  // a socket path
  if (host.empty() || host == "unix" || protocol == "unix" || protocol == "local") {
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    return UnixSocketAnswers(path, true) || UnixSocketAnswers(path, false);
  }
  return TcpAnswers(host, 6000 + static_cast<int>(number));
}

}  // namespace

std::string DisplayName(const std::string& name) {
  if (!name.empty()) return name;
  const char* display = std::getenv("DISPLAY");
  return display != nullptr ? display : "";
}

DisplayPtr OpenDisplay(const std::string& name, OpenFailure* failure) {
  if (failure != nullptr) *failure = OpenFailure::kNone;
  InstallHandlers();
  const std::string target = DisplayName(name);
  if (target.empty()) {
    if (failure != nullptr) *failure = OpenFailure::kUnset;
    return nullptr;
  }
  Display* display = XOpenDisplay(target.c_str());
  if (display == nullptr) {
    // Xlib does not say why; a server that accepts the connection and still
    // gives no display has refused this client.
    if (failure != nullptr) *failure = ServerListens(target) ? OpenFailure::kRefused : OpenFailure::kNoAnswer;
    return nullptr;
  }
  XSetIOErrorExitHandler(display, KeepRunningAfterIoError, nullptr);
  {
    std::lock_guard lock(connectionsMutex());
    openConnections().insert_or_assign(display, false);
  }
  return DisplayPtr(display);
}

bool ConnectionLost(Display* display) {
  std::lock_guard lock(connectionsMutex());
  const auto found = openConnections().find(display);
  return found != openConnections().end() && found->second;
}

ErrorTrap::ErrorTrap(Display* display) : display_(display), outer_(currentTrap) { currentTrap = this; }

ErrorTrap::~ErrorTrap() { currentTrap = outer_; }

int ErrorTrap::Sync() {
  if (ConnectionLost(display_)) return BadImplementation;
  XSync(display_, False);
  if (ConnectionLost(display_)) return BadImplementation;
  return firstError_;
}

}  // namespace platform::x11
