// The utility library's bulk work against the standard tools, side by side in
// one run on warm files:
//   - CopyDirectory of a tree of 2,000 small files (0.5 to 16 KiB, in 40
//     folders) and three 100 MiB files, against `cp -r`;
//   - MD5HashFile of a 1 GiB file, against `md5sum`;
//   - Base64Encode of 100 MiB already in memory, against `base64 -w 0` of the
//     same bytes in a file (its output goes to /dev/null);
//   - RemoveDirectoryW of a chain of folders named "d", 500, 1,000 and 2,000
//     deep, against `rm -rf` (the chain is made again after each side, outside
//     the timing).
// The tools run through the project's process layer (argv, no shell), so their
// times include their own start. Every row runs each side once unmeasured
// (which also checks that both give the same result), then --rounds rounds,
// the two sides interleaved and their order swapped every round; a copy's
// destination is removed after each run, outside the timing. The ratio is the
// median of the per-round ratios (library time / tool time).
//
// The MD5 row runs first, so the peak resident size it leaves shows what
// hashing a file of any size costs in memory (one read chunk).
//
// Run: <build>/bin/tool_bench [--rounds=5] [--md5-mib=1024] [--large-mib=100]
//                             [--small-files=2000] [--base64-mib=100] [--folder=/tmp]
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/subprocess.h"
#include "tool/directory_walk.h"
#include "tool/encoding.h"
#include "tool/file_copy.h"
#include "tool/file_digest.h"
#include "tool/file_util.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kMiB = 1048576;

struct Options {
  int rounds = 5;
  uint64_t md5_mib = 1024;
  uint64_t large_mib = 100;
  int small_files = 2000;
  uint64_t base64_mib = 100;
  std::string folder;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  const char* tmp = std::getenv("TMPDIR");
  options.folder = tmp && *tmp ? tmp : "/tmp";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      const std::string prefix = std::string("--") + name + "=";
      return arg.rfind(prefix, 0) == 0 ? argv[i] + prefix.size() : nullptr;
    };
    if (const char* v = value("rounds")) {
      options.rounds = std::atoi(v);
    } else if (const char* m = value("md5-mib")) {
      options.md5_mib = std::strtoull(m, nullptr, 10);
    } else if (const char* l = value("large-mib")) {
      options.large_mib = std::strtoull(l, nullptr, 10);
    } else if (const char* s = value("small-files")) {
      options.small_files = std::atoi(s);
    } else if (const char* b = value("base64-mib")) {
      options.base64_mib = std::strtoull(b, nullptr, 10);
    } else if (const char* f = value("folder")) {
      options.folder = f;
    } else {
      throw std::runtime_error("unknown argument " + arg +
                               " (--rounds=N --md5-mib=N --large-mib=N --small-files=N --base64-mib=N --folder=PATH)");
    }
  }
  if (options.rounds < 1 || options.md5_mib < 1 || options.large_mib < 1 || options.small_files < 1 ||
      options.base64_mib < 1) {
    throw std::runtime_error("every count and size must be at least 1");
  }
  return options;
}

// A temporary folder, removed with everything in it at the end.
class Workspace {
 public:
  explicit Workspace(const std::string& parent) {
    std::string pattern = parent + "/qel-tool-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed in " + parent);
    root_ = pattern;
  }
  ~Workspace() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;
  std::string path(const std::string& name) const { return root_ + "/" + name; }

 private:
  std::string root_;
};

// Pseudo-random bytes (xorshift64): no run of zeros a file system could skip.
class Noise {
 public:
  explicit Noise(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 1) {}
  uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  void fill(char* out, std::size_t size) {
    for (std::size_t at = 0; at < size; at += 8) {
      const uint64_t word = next();
      std::memcpy(out + at, &word, std::min<std::size_t>(8, size - at));
    }
  }

 private:
  uint64_t state_;
};

// Writes `size` bytes through one 1 MiB buffer, so making a large file does
// not raise this process's peak memory.
void WriteNoiseFile(const std::string& path, uint64_t size, uint64_t seed) {
  std::ofstream out(path, std::ios::binary);
  Noise noise(seed);
  std::vector<char> chunk(kMiB);
  for (uint64_t left = size; left != 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(left, kMiB));
    noise.fill(chunk.data(), n);
    out.write(chunk.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads every file once so that both sides find them in the page cache.
void Warm(const std::string& path) {
  std::vector<char> chunk(kMiB);
  auto read = [&](const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    }
  };
  if (fs::is_directory(path)) {
    for (const auto& entry : fs::recursive_directory_iterator(path)) {
      if (entry.is_regular_file()) read(entry.path());
    }
  } else {
    read(path);
  }
}

// Runs a standard tool to its end with its output on /dev/null.
void RunTool(const std::vector<std::string>& argv) {
  qel::Subprocess child;
  qel::SpawnOptions options;
  options.stdoutMode = qel::ChildOutput::Null;
  options.stderrMode = qel::ChildOutput::Null;
  std::string error;
  if (!child.start(argv, options, error)) throw std::runtime_error(argv[0] + " did not start: " + error);
  const int code = child.wait();
  if (code != 0) throw std::runtime_error(argv[0] + " failed with exit code " + std::to_string(code));
}

// Runs a standard tool and returns its standard output.
std::string CaptureTool(const std::vector<std::string>& argv) {
  const qel::CapturedRun run = qel::runAndCapture(argv, /*mergeStderr=*/false);
  if (!run.started || run.exitCode != 0) throw std::runtime_error(argv[0] + " failed: " + run.error + run.output);
  return run.output;
}

double Seconds(const std::function<void()>& work) {
  const Clock::time_point begin = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - begin).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Row {
  std::string name, tool;
  std::vector<double> library_seconds, tool_seconds, ratios;
};

// Interleaves the two sides for `rounds` rounds; `after` runs after each side,
// outside the timing (removing a copy's destination, for example).
Row Measure(const std::string& name, const std::string& tool, int rounds, const std::function<void()>& library,
            const std::function<void()>& standard, const std::function<void()>& after) {
  Row row{name, tool, {}, {}, {}};
  for (int round = 0; round < rounds; ++round) {
    double mine = 0, theirs = 0;
    auto runLibrary = [&] {
      mine = Seconds(library);
      after();
    };
    auto runTool = [&] {
      theirs = Seconds(standard);
      after();
    };
    if (round % 2 == 0) {
      runLibrary();
      runTool();
    } else {
      runTool();
      runLibrary();
    }
    row.library_seconds.push_back(mine);
    row.tool_seconds.push_back(theirs);
    row.ratios.push_back(mine / theirs);
  }
  return row;
}

void PrintRow(const Row& row) {
  const auto [low, high] = std::minmax_element(row.ratios.begin(), row.ratios.end());
  std::printf("%-42s %9.1f %-14s %9.1f %7.2f  (%.2f-%.2f)\n", row.name.c_str(), 1000 * Median(row.library_seconds),
              row.tool.c_str(), 1000 * Median(row.tool_seconds), Median(row.ratios), *low, *high);
}

long PeakResidentKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Every file and folder of `source` is in `copy` with the same bytes, and
// `copy` holds nothing else.
void CheckSameTree(const std::string& source, const std::string& copy) {
  std::size_t entries = 0;
  for (const auto& entry : fs::recursive_directory_iterator(source)) {
    ++entries;
    const fs::path twin = fs::path(copy) / fs::relative(entry.path(), source);
    if (entry.is_directory() ? !fs::is_directory(twin) : ReadAll(entry.path()) != ReadAll(twin)) {
      throw std::runtime_error("the copy differs at " + twin.string());
    }
  }
  const auto copied = static_cast<std::size_t>(
      std::distance(fs::recursive_directory_iterator(copy), fs::recursive_directory_iterator()));
  if (copied != entries) throw std::runtime_error("the copy " + copy + " holds other entries");
}

// Makes `top` and a chain of `depth` folders named "d" below it, each made
// from the descriptor of the one above, so that making it costs no more than
// removing it.
void MakeChain(const std::string& top, int depth) {
  if (::mkdir(top.c_str(), 0755) != 0) throw std::runtime_error("cannot make " + top);
  int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; level < depth && fd >= 0; ++level) {
    const int below = ::mkdirat(fd, "d", 0755) == 0 ? ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    ::close(fd);
    fd = below;
  }
  if (fd < 0) throw std::runtime_error("cannot make the chain below " + top);
  ::close(fd);
}

// The removal holds one descriptor per level of the tree.
void AllowEveryDescriptor() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = ParseOptions(argc, argv);
    Workspace space(options.folder);
    std::vector<Row> rows;

    // MD5 first: nothing large has been held in memory yet.
    const std::string big = space.path("md5.bin");
    WriteNoiseFile(big, options.md5_mib * kMiB, 1);
    Warm(big);
    const long peak_before = PeakResidentKiB();
    {
      const std::string digest = tool::MD5HashFile(big, 32);
      const std::string theirs = CaptureTool({"md5sum", big}).substr(0, 32);
      if (digest != theirs) throw std::runtime_error("MD5HashFile gave " + digest + ", md5sum " + theirs);
      rows.push_back(Measure(
          std::to_string(options.md5_mib) + " MiB MD5HashFile", "md5sum", options.rounds,
          [&] {
            if (tool::MD5HashFile(big, 32) != digest) throw std::runtime_error("MD5 changed");
          },
          [&] {
            RunTool({"md5sum", big});
          },
          [] {}));
    }
    const long peak_after = PeakResidentKiB();
    fs::remove(big);

    // The tree to copy.
    const std::string source = space.path("tree");
    fs::create_directories(source);
    Noise sizes(7);
    const int folders = 40;
    for (int f = 0; f < folders; ++f) fs::create_directory(source + "/folder" + std::to_string(f));
    for (int i = 0; i < options.small_files; ++i) {
      const uint64_t size = 512 + sizes.next() % (16 * 1024 - 512 + 1);
      WriteNoiseFile(source + "/folder" + std::to_string(i % folders) + "/file" + std::to_string(i) + ".dat", size,
                     100 + static_cast<uint64_t>(i));
    }
    for (int i = 0; i < 3; ++i) {
      WriteNoiseFile(source + "/large" + std::to_string(i) + ".bin", options.large_mib * kMiB,
                     10 + static_cast<uint64_t>(i));
    }
    fs::create_directory(source + "/empty");
    Warm(source);
    {
      const std::string target = space.path("copy");
      int reports = 0;
      float last_ratio = 0;
      auto copy = [&] {
        reports = 0;
        if (!tool::CopyDirectory(
                source, target,
                [&](const std::string&, uint64_t, uint64_t, uint64_t, uint64_t, float ratio, uint64_t, uint64_t) {
                  ++reports;
                  last_ratio = ratio;
                  return true;
                })) {
          throw std::runtime_error("CopyDirectory failed");
        }
      };
      auto cp = [&] { RunTool({"cp", "-r", source, target}); };
      auto remove = [&] { fs::remove_all(target); };
      copy();
      CheckSameTree(source, target);
      if (last_ratio != 1.0f) throw std::runtime_error("the last report of the copy is not 1");
      remove();
      cp();
      CheckSameTree(source, target);
      remove();
      rows.push_back(Measure(std::to_string(options.small_files) + " small + 3 x " + std::to_string(options.large_mib) +
                                 " MiB CopyDirectory",
                             "cp -r", options.rounds, copy, cp, remove));
      std::printf("CopyDirectory made %d progress reports per copy\n", reports);
    }

    {
      const std::string input = space.path("base64.bin");
      WriteNoiseFile(input, options.base64_mib * kMiB, 3);
      const std::string data = tool::GetFileContent(input);
      if (data.size() != options.base64_mib * kMiB) throw std::runtime_error("cannot read " + input);
      Warm(input);
      if (tool::Base64Encode(data) != CaptureTool({"base64", "-w", "0", input})) {
        throw std::runtime_error("Base64Encode differs from base64");
      }
      std::size_t sink = 0;
      rows.push_back(Measure(
          std::to_string(options.base64_mib) + " MiB Base64Encode", "base64 -w 0", options.rounds,
          [&] { sink += tool::Base64Encode(data).size(); },
          [&] {
            RunTool({"base64", "-w", "0", input});
          },
          [] {}));
      if (sink == 0) throw std::runtime_error("nothing encoded");
    }

    AllowEveryDescriptor();
    for (int depth : {500, 1000, 2000}) {
      const std::string top = space.path("chain" + std::to_string(depth));
      auto remove = [&] {
        if (!tool::RemoveDirectoryW(top, true)) throw std::runtime_error("RemoveDirectoryW failed on " + top);
      };
      auto rm = [&] { RunTool({"rm", "-rf", top}); };
      auto remake = [&] {
        if (fs::exists(top)) throw std::runtime_error(top + " was not removed");
        MakeChain(top, depth);
      };
      MakeChain(top, depth);
      rows.push_back(Measure("RemoveDirectoryW, chain " + std::to_string(depth) + " deep", "rm -rf", options.rounds,
                             remove, rm, remake));
      rm();
    }

    std::printf("\n%d rounds, sides interleaved; times are medians in ms; ratio = library / tool (median, range)\n\n",
                options.rounds);
    std::printf("%-42s %9s %-14s %9s %7s\n", "library", "ms", "tool", "ms", "ratio");
    for (const Row& row : rows) PrintRow(row);
    std::printf("\nPeak resident size: %.1f MiB before the MD5 rows, %.1f MiB after them\n",
                static_cast<double>(peak_before) / 1024, static_cast<double>(peak_after) / 1024);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tool_bench: %s\n", e.what());
    return 1;
  }
}
