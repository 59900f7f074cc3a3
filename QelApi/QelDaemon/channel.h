// One client connection as the request handlers and the task store see it: a
// place to send whole text messages to, and whether it is still open. The
// WebSocket server implements it; tests use a recording fake.
//
// Thread safety: `send` and `connected` may be called from any thread. Sends
// made from one thread reach the client in the order they were made; a send on
// a connection that has closed is dropped silently.
#pragma once

#include <string>

namespace qel {

class Channel {
 public:
  virtual ~Channel() = default;

  // Queues `text` as one WebSocket text message. Text that is not valid UTF-8 is
  // repaired (ill-formed bytes become U+FFFD) before it goes out, so every
  // message a client receives is valid UTF-8.
  virtual void send(std::string text) = 0;

  // True while the connection is open and the handshake is done.
  virtual bool connected() const = 0;
};

}  // namespace qel
