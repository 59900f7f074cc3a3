// Xlib connections that never end the process. Xlib's default handlers print
// and exit on any protocol error and on a lost server; here the error handler
// records the error for the thread that made the request, and a lost server
// marks its connection dead so that every later call on it fails cleanly.
//
// Every X11 user in the process (display, and the ui layer's key grabs)
// should open its connections here, since Xlib's handlers are process-wide.
//
// Thread safety: the handlers are installed once; an ErrorTrap belongs to the
// thread that made it; a connection is used under its owner's lock.
#pragma once

#include <X11/Xlib.h>

#include <memory>
#include <string>

namespace platform::x11 {

// Closes a connection. One whose server was lost only gives back its socket:
// XCloseDisplay would talk to the server that is gone.
struct DisplayCloser {
  void operator()(Display* display) const;
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// Why a display could not be opened.
enum class OpenFailure {
  kNone,
  kUnset,     // no display named: DISPLAY is not set
  kNoAnswer,  // nothing accepts connections where the display listens
  kRefused,   // a server answered and refused this client (authorisation)
};

// The display `name` stands for: `name` itself, or $DISPLAY when it is empty
// ("" when that is not set either).
std::string DisplayName(const std::string& name);

// Opens `name` ("" = $DISPLAY) with the process's handlers installed; null
// when the server cannot be reached, and then `*failure` (when given) says why.
DisplayPtr OpenDisplay(const std::string& name, OpenFailure* failure = nullptr);

// True once the server of `display`, a connection opened here and not yet
// closed, was lost (I/O error). The state belongs to the connection: once it
// is closed, a new connection at the same address starts as not lost.
bool ConnectionLost(Display* display);

// Collects the X errors of the requests this thread makes on `display` while
// the trap lives (traps nest; the innermost one collects).
class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display);
  ~ErrorTrap();
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  // Waits for the server to process every request made so far; the first
  // error code seen (0 = none). A lost connection reports BadImplementation.
  int Sync();
  // The first error code seen so far without a round trip.
  int firstError() const { return firstError_; }

 private:
  friend int HandleXError(Display*, XErrorEvent*);
  Display* display_;
  ErrorTrap* outer_;
  int firstError_ = 0;
};

}  // namespace platform::x11
