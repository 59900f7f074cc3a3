// A Channel that records what is sent to it, for tests of the handlers and the
// task store without a server.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "QelDaemon/channel.h"

namespace qel::test {

class FakeChannel : public Channel {
 public:
  void send(std::string text) override {
    std::lock_guard lock(mutex_);
    sent_.push_back(std::move(text));
  }
  bool connected() const override { return true; }

  // Everything sent since the last call.
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.swap(sent_);
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> sent_;
};

}  // namespace qel::test
