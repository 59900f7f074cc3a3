#include "qelrecorder/recorder_log.h"

#include <atomic>

namespace qelrec {

namespace {

std::atomic<LogHandlerA> narrowHandler{nullptr};
std::atomic<LogHandlerW> wideHandler{nullptr};

}  // namespace

void SetLogHandlers(LogHandlerA narrow, LogHandlerW wide) {
  narrowHandler.store(narrow);
  wideHandler.store(wide);
}

void EmitLogA(const char* level, const char* tag, std::string message) {
  if (message.size() > kNarrowLogLimit) {
    // Back off to the start of a UTF-8 sequence so the host never gets half a
    // character.
    size_t cut = kNarrowLogLimit;
    while (cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80) --cut;
    message.resize(cut);
  }
  const LogHandlerA handler = narrowHandler.load();
  if (handler != nullptr) handler(level, tag, message.c_str());
}

void EmitLogW(const char* level, const char* tag, std::wstring message) {
  if (message.size() > kWideLogLimit) message.resize(kWideLogLimit);
  const LogHandlerW handler = wideHandler.load();
  if (handler != nullptr) handler(level, tag, message.c_str());
}

}  // namespace qelrec
