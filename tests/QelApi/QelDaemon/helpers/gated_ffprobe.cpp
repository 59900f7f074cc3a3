// A stand-in for ffprobe (or ffmpeg) that takes as long as a test wants:
// started as <folder>/<name>, it reports its start by writing to the FIFO
// <folder>/<name>-ready, then reads the FIFO <folder>/<name>-gate until every
// writer has closed it, and only then answers as ffprobe does for a file
// without streams. Without the FIFOs it answers at once.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 1 || argv[0] == nullptr) return 1;
  const std::string self = argv[0];
  // "<folder>/ffprobe" waits on "<folder>/ffprobe-gate".
  const std::string prefix = self + "-";
  // The gate is opened before the start is reported: a test that releases
  // the gate as soon as it hears of the start must not leave this probe
  // opening a FIFO nobody writes to any more. A non-blocking open never waits
  // for a writer; reads then block again, and end once no writer is left.
  const int gate = ::open((prefix + "gate").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (gate >= 0) ::fcntl(gate, F_SETFL, ::fcntl(gate, F_GETFL) & ~O_NONBLOCK);
  const int ready = ::open((prefix + "ready").c_str(), O_WRONLY | O_CLOEXEC);
  if (ready >= 0) {
    [[maybe_unused]] ssize_t put = ::write(ready, "s", 1);
    ::close(ready);
  }
  if (gate >= 0) {
    char buffer[256];
    while (::read(gate, buffer, sizeof buffer) > 0) {
    }
    ::close(gate);
  }
  std::fputs("{\"streams\":[],\"format\":{}}\n", stdout);
  return 0;
}
