#include "platform/script/run_script.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/text_edit.h"
#include "platform/apps/render_processes.h"
#include "platform/ui/dialog.h"
#include "platform/ui/hotkeys.h"

namespace platform::script {

namespace {

std::string trim(std::string s) {
  qel::trimChars(s, " \t\r\n");
  return s;
}

// One thread per process, started by the first modal loop. The thread is
// joined when the process ends; its waits end at once then.
class ScriptRunner {
 public:
  ~ScriptRunner() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  // Starts `script` unless one was started before.
  void Start(const std::string& script) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_ || stopping_) return;
    started_ = true;
    thread_ = std::thread([this, script] { Run(script); });
  }

 private:
  // False when the process ends before `until`.
  bool WaitUntil(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_until(lock, until, [this] { return stopping_; });
  }

  void Run(const std::string& script) {
    const auto start = std::chrono::steady_clock::now();
    std::stringstream commands(script);
    std::string command;
    while (std::getline(commands, command, ';')) {
      std::istringstream words(trim(command));
      long ms = 0;
      std::string verb;
      if (!(words >> ms >> verb)) {
        std::fprintf(stderr, "QEL_SCRIPT: cannot read \"%s\"\n", command.c_str());
        continue;
      }
      std::string argument;
      std::getline(words, argument);
      argument = trim(argument);
      if (!WaitUntil(start + std::chrono::milliseconds(ms))) return;
      Perform(verb, argument);
    }
  }

  static void Perform(const std::string& verb, const std::string& argument) {
    if (verb == "hotkey") {
      if (!ui::PressHotKeyText(argument)) std::fprintf(stderr, "QEL_SCRIPT: no window holds %s\n", argument.c_str());
    } else if (verb == "click") {
      if (!ui::PostClickToLatestDialog(argument)) {
        std::fprintf(stderr, "QEL_SCRIPT: no dialog has %s\n", argument.c_str());
      }
    } else if (verb == "render") {
      // The processes that play audio: ids separated by commas.
      std::vector<uint32_t> pids;
      std::stringstream list(argument);
      for (std::string id; std::getline(list, id, ',');) {
        if (!trim(id).empty()) pids.push_back(static_cast<uint32_t>(std::strtoul(id.c_str(), nullptr, 10)));
      }
      apps::SetRenderProcesses(pids);
    } else {
      std::fprintf(stderr, "QEL_SCRIPT: unknown command \"%s\"\n", verb.c_str());
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool started_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

ScriptRunner& scriptRunner() {
  static ScriptRunner instance;
  return instance;
}

// Every modal loop offers to start the script.
const bool installed = [] {
  ui::SetModalLoopHook(&StartFromEnvironment);
  return true;
}();

}  // namespace

void StartFromEnvironment() {
  if (const char* script = std::getenv("QEL_SCRIPT"); script != nullptr) scriptRunner().Start(script);
}

}  // namespace platform::script
