// The screen recorder against ffmpeg's own screen grab (x11grab) on the same
// private Xvfb, the same region (the recorder's: the middle half of the
// screen, inside its frame), rate and encoder settings. A small X client paints
// a frame counter into the region at the recording rate, as 16 black or white
// blocks; decoding the counter from every recorded frame tells which painted
// frames were repeated or skipped.
//
// For each run: the CPU seconds of the recorder's process tree (QelRecorder
// and its ffmpeg) or of x11grab's ffmpeg, and those of the X server, per second
// of recorded video; the X server's share is also given with what the painter
// alone costs it taken off. Runs alternate; the medians are printed.
//
//   build/bin/recorder_vs_x11grab_bench [rounds=3] [seconds=10] [width=2560] [height=1440] [QelRecorder]
//
// The last argument runs another build's QelRecorder (an earlier version, to
// compare); by default the one beside this program.
#include <X11/Xlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/subprocess.h"
#include "support/test_support.h"
#include "support/xvfb_server.h"

namespace {

constexpr int kFps = 30;
constexpr int kBits = 16;
constexpr int kBlock = 64;  // a counter bit is a kBlock x kBlock square

// Paints the counter (the number of 1/kFps slots since the start) at a fixed
// point of the screen, on its own connection and thread.
class CounterPainter {
 public:
  CounterPainter(const std::string& display, int x, int y) : x_(x), y_(y) {
    display_ = XOpenDisplay(display.c_str());
    if (display_ == nullptr) return;
    thread_ = std::thread([this] { Run(); });
  }
  ~CounterPainter() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  bool ok() const { return display_ != nullptr; }

 private:
  void Run() {
    const ::Window root = DefaultRootWindow(display_);
    GC gc = XCreateGC(display_, root, 0, nullptr);
    XSetForeground(display_, gc, 0x304050);
    const unsigned width = static_cast<unsigned>(DisplayWidth(display_, DefaultScreen(display_)));
    const unsigned height = static_cast<unsigned>(DisplayHeight(display_, DefaultScreen(display_)));
    XFillRectangle(display_, root, gc, 0, 0, width, height);
    const auto start = std::chrono::steady_clock::now();
    const auto slot = std::chrono::nanoseconds(1000000000 / kFps);
    while (!stop_) {
      const auto counter = static_cast<unsigned>((std::chrono::steady_clock::now() - start) / slot);
      for (int bit = 0; bit < kBits; ++bit) {
        XSetForeground(display_, gc, (counter >> bit) & 1 ? 0xFFFFFF : 0x000000);
        XFillRectangle(display_, root, gc, x_ + bit * kBlock, y_, kBlock, kBlock);
      }
      XSync(display_, False);
      std::this_thread::sleep_until(start + slot * (counter + 1));
    }
    XFreeGC(display_, gc);
  }

  Display* display_ = nullptr;
  int x_;
  int y_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

double ChildrenCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Runs argv to its end; its output.
std::string RunToEnd(const std::vector<std::string>& argv) {
  const qel::CapturedRun run = qel::runAndCapture(argv, true, std::chrono::minutes(5));
  if (run.exitCode != 0)
    std::fprintf(stderr, "%s ended with %d:\n%s\n", argv[0].c_str(), run.exitCode, run.output.c_str());
  return run.output;
}

struct VideoInfo {
  int width = 0;
  int height = 0;
  double seconds = 0;
};

VideoInfo Probe(const std::string& video) {
  VideoInfo info;
  const qel::CapturedRun run =
      qel::runAndCapture({qel::test::ffprobePath(), "-v", "error", "-count_frames", "-select_streams", "v:0",
                          "-show_entries", "stream=width,height,nb_read_frames", "-of", "csv=p=0", video},
                         false);
  int frames = 0;
  std::sscanf(run.output.c_str(), "%d,%d,%d", &info.width, &info.height, &frames);
  info.seconds = static_cast<double>(frames) / kFps;
  return info;
}

struct Counted {
  int frames = 0;
  int repeated = 0;  // frames showing the same counter as the frame before
  int skipped = 0;   // painted counters no frame shows, between the first and the last
};

// Reads the counter of every frame: the strip of blocks at (x, y) of the video.
Counted CountFrames(const std::string& video, int x, int y) {
  const std::string filter = "crop=" + std::to_string(kBits * kBlock) + ":" + std::to_string(kBlock) + ":" +
                             std::to_string(x) + ":" + std::to_string(y) + ",scale=" + std::to_string(kBits) +
                             ":1:flags=area,format=gray";
  const qel::CapturedRun run = qel::runAndCapture(
      {qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-i", video, "-vf", filter, "-f", "rawvideo", "-"}, false);
  Counted c;
  long previous = -1;
  for (size_t at = 0; at + kBits <= run.output.size(); at += kBits) {
    long counter = 0;
    for (int bit = 0; bit < kBits; ++bit) {
      if (static_cast<unsigned char>(run.output[at + static_cast<size_t>(bit)]) > 128) counter |= 1L << bit;
    }
    ++c.frames;
    if (previous >= 0 && counter == previous) ++c.repeated;
    if (previous >= 0 && counter > previous + 1) c.skipped += static_cast<int>(counter - previous - 1);
    previous = counter;
  }
  return c;
}

struct Run {
  double toolCpu = 0;        // per second of video
  double serverCpu = 0;      // per second of video
  double serverForTool = 0;  // the same less what the painter cost it meanwhile
  double seconds = 0;
  Counted counted;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
  const int width = argc > 3 ? std::atoi(argv[3]) : 2560;
  const int height = argc > 4 ? std::atoi(argv[4]) : 1440;
  const std::string recorderProgram = argc > 5 ? argv[5] : qel::test::binDir() + "/QelRecorder";

  qel::test::XvfbServer xvfb(width, height);
  if (!xvfb.running()) {
    std::fprintf(stderr, "no Xvfb: %s\n", xvfb.error().c_str());
    return 1;
  }
  // The recorder's region: the middle half of the screen (its frame's inside
  // is found from the first video); the counter sits 64 pixels into it.
  const int regionLeft = width / 4;
  const int regionTop = height / 4;
  CounterPainter painter(xvfb.display(), regionLeft + 64, regionTop + 64);
  if (!painter.ok()) return 1;
  std::this_thread::sleep_for(std::chrono::seconds(1));

  // What the painter alone costs the server, per second.
  const double idleStart = ProcessCpuSeconds(xvfb.pid());
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const double painterCpu = (ProcessCpuSeconds(xvfb.pid()) - idleStart) / 3.0;

  ::setenv("DISPLAY", xvfb.display().c_str(), 1);
  ::unsetenv("QEL_BACKING");
  const std::string script = "1000 hotkey Control+F5; " + std::to_string(1000 + seconds * 1000) + " hotkey Control+F5";
  ::setenv("QEL_SCRIPT", script.c_str(), 1);
  const std::string bitrate = "4000k";
  qel::test::TempDir out;

  std::vector<Run> recorderRuns;
  std::vector<Run> grabRuns;
  int grabLeft = 0, grabTop = 0, grabWidth = 0, grabHeight = 0;
  for (int round = 0; round < rounds; ++round) {
    for (const bool recorder : {true, false}) {
      const std::string folder = out.file((recorder ? "rec" : "grab") + std::to_string(round));
      std::filesystem::create_directories(folder);
      const double cpu0 = ChildrenCpuSeconds();
      const double server0 = ProcessCpuSeconds(xvfb.pid());
      const auto wall0 = std::chrono::steady_clock::now();
      std::string video;
      if (recorder) {
        const std::string output =
            RunToEnd({recorderProgram, "-vcodec", "libx264", "-r", std::to_string(kFps), "-preset", "ultrafast",
                      "-recordaudio", "0", "-outputpath", folder, "-ffmpegpath", qel::test::binDir()});
        if (const size_t at = output.find("Record finished, FPS: "); at != std::string::npos) {
          std::printf("  recorder's timer: %s\n", output.substr(at + 22, output.find(',', at + 22) - at - 22).c_str());
        }
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
          if (entry.path().extension() == ".h264") video = entry.path().string();
        }
      } else {
        video = folder + "/grab.h264";
        RunToEnd({qel::test::ffmpegPath(),
                  "-v",
                  "error",
                  "-nostdin",
                  "-f",
                  "x11grab",
                  "-draw_mouse",
                  "0",
                  "-framerate",
                  std::to_string(kFps),
                  "-video_size",
                  std::to_string(grabWidth) + "x" + std::to_string(grabHeight),
                  "-i",
                  xvfb.display() + "+" + std::to_string(grabLeft) + "," + std::to_string(grabTop),
                  "-t",
                  std::to_string(seconds),
                  "-pix_fmt",
                  "yuv420p",
                  "-c:v",
                  "libx264",
                  "-x264-params",
                  "nal-hrd=cbr:force-cfr=1",
                  "-b:v",
                  bitrate,
                  "-minrate",
                  bitrate,
                  "-maxrate",
                  bitrate,
                  "-bufsize",
                  bitrate,
                  "-preset",
                  "ultrafast",
                  "-y",
                  video});
      }
      const double cpu = ChildrenCpuSeconds() - cpu0;
      const double server = ProcessCpuSeconds(xvfb.pid()) - server0;
      const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
      const VideoInfo info = Probe(video);
      if (info.seconds <= 0) {
        std::fprintf(stderr, "no video from the %s run\n", recorder ? "recorder" : "x11grab");
        return 1;
      }
      if (recorder && grabWidth == 0) {
        // The recorded part is the region less its frame: x11grab takes the same.
        const int border = (width / 2 - info.width) / 2;
        grabLeft = regionLeft + border;
        grabTop = regionTop + border;
        grabWidth = info.width;
        grabHeight = info.height;
      }
      Run r;
      r.seconds = info.seconds;
      r.toolCpu = cpu / info.seconds;
      r.serverCpu = server / info.seconds;
      // The server works for the painter during the whole run, not only while
      // frames are taken: that part is what the run's wall time cost it.
      r.serverForTool = (server - painterCpu * wall) / info.seconds;
      r.counted = CountFrames(video, regionLeft + 64 - grabLeft, regionTop + 64 - grabTop);
      (recorder ? recorderRuns : grabRuns).push_back(r);
      std::printf(
          "%-9s round %d: %5.2f s of video, tool %.3f CPU s/s, X server %.3f CPU s/s, frames %d, "
          "repeated %d, skipped %d\n",
          recorder ? "recorder" : "x11grab", round, r.seconds, r.toolCpu, r.serverCpu, r.counted.frames,
          r.counted.repeated, r.counted.skipped);
      std::fflush(stdout);
    }
  }

  auto summary = [&](const char* name, const std::vector<Run>& runs) {
    std::vector<double> tool, server, repeated, skipped;
    for (const Run& r : runs) {
      tool.push_back(r.toolCpu);
      server.push_back(r.serverForTool);
      repeated.push_back(r.counted.repeated);
      skipped.push_back(r.counted.skipped);
    }
    std::printf("| %s | %.3f | %.3f | %.0f | %.0f |\n", name, Median(tool), Median(server), Median(repeated),
                Median(skipped));
    return std::make_pair(Median(tool), Median(server));
  };
  std::printf("\n%dx%d screen, region %dx%d at %d fps, %d s, %d rounds; painter alone costs the server %.3f CPU s/s\n",
              width, height, grabWidth, grabHeight, kFps, seconds, rounds, painterCpu);
  std::printf(
      "| what | tool CPU s per video s | X server CPU s per video s (painter taken off) | repeated | skipped |\n");
  std::printf("|---|---|---|---|---|\n");
  const auto rec = summary("QelRecorder", recorderRuns);
  const auto grab = summary("ffmpeg -f x11grab", grabRuns);
  std::printf("recorder / x11grab: tool %.2fx, X server %.2fx\n", rec.first / grab.first, rec.second / grab.second);
  return 0;
}
