#include "tool/logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "tool/print_format.h"
#include "tool/text_codec.h"

namespace {

constexpr std::size_t kLineCapacity = 4096000;
constexpr long long kRewriteAbove = 10485760;

std::atomic<int> g_threshold{4};

// The stream is read under either line mutex and replaced only under both.
std::mutex g_narrow_mutex;
std::mutex g_wide_mutex;
FILE* g_stream = nullptr;  // null stands for standard error
// Allocated at the first line of each kind and never freed: code running in
// static destructors at exit may still log.
char* g_narrow_line = nullptr;
wchar_t* g_wide_line = nullptr;

// The program name is shared by narrow and wide lines, which hold different
// mutexes, so it has a lock of its own. It is read again while it is empty.
std::mutex g_name_mutex;
char g_program_name[256];

FILE* Stream() { return g_stream ? g_stream : stderr; }

const char* SeverityName(int level) {
  static const char* const kNames[] = {"NONE", "FATAL", "ERROR", "WARN", "INFO", "DEBUG", "VERBO"};
  return level >= 0 && level <= 6 ? kNames[level] : "UNDEF";
}

void ProgramName(char (&out)[256]) {
  std::lock_guard lock(g_name_mutex);
  if (g_program_name[0] == 0) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) {
      path[n] = 0;
      const char* slash = std::strrchr(path, '/');
      const char* name = slash ? slash + 1 : path;
      std::size_t length = strnlen(name, sizeof g_program_name - 1);
      std::memcpy(g_program_name, name, length);
      g_program_name[length] = 0;
    }
  }
  std::memcpy(out, g_program_name, sizeof out);
}

// Everything before the message: "date time.mmm NAME [program:pid:tid] ".
int Prefix(int level, char* out, std::size_t size) {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  std::size_t n = std::strftime(out, size, "%Y-%m-%d %H:%M:%S", &local);
  char name[256];
  ProgramName(name);
  int m = std::snprintf(out + n, size - n, ".%03d %s [%s:%d:%x] ", static_cast<int>(now.tv_usec / 1000),
                        SeverityName(level), name, static_cast<int>(getpid()), static_cast<unsigned>(gettid()));
  return static_cast<int>(n) + (m > 0 ? m : 0);
}

}  // namespace

extern "C" {

void DebugLog(int level, const char* format, ...) {
  if (level > g_threshold.load(std::memory_order_relaxed)) return;
  std::lock_guard lock(g_narrow_mutex);
  if (!g_narrow_line) g_narrow_line = new (std::nothrow) char[kLineCapacity]();
  if (!g_narrow_line) return;  // no memory for the line: it is dropped
  char* line = g_narrow_line;
  std::size_t used = static_cast<std::size_t>(Prefix(level, line, kLineCapacity));
  // The message keeps room for the line feed and its terminator.
  std::size_t limit = kLineCapacity - used - 5;
  va_list args;
  va_start(args, format);
  used += tool::text_internal::FormatBounded(line + used, limit - 1, format, args);
  va_end(args);
  line[used++] = '\n';
  FILE* stream = Stream();
  std::fwrite(line, 1, used, stream);
  std::fflush(stream);
}

void DebugLogW(int level, const wchar_t* format, ...) {
  if (level > g_threshold.load(std::memory_order_relaxed)) return;
  std::lock_guard lock(g_wide_mutex);
  if (!g_wide_line) g_wide_line = new (std::nothrow) wchar_t[kLineCapacity]();
  if (!g_wide_line) return;
  wchar_t* line = g_wide_line;
  char prefix[512];
  int prefixLength = Prefix(level, prefix, sizeof prefix);
  // The prefix is UTF-8 (the program name may hold any letter): decoded, not
  // widened byte by byte.
  std::size_t used = 0;
  for (const char *p = prefix, *end = prefix + prefixLength; p < end;) {
    line[used++] = static_cast<wchar_t>(tool::text_internal::DecodeUtf8(p, end));
  }
  std::size_t limit = kLineCapacity - used - 5;
  va_list args;
  va_start(args, format);
  used += tool::text_internal::FormatBounded(line + used, limit - 1, format, args);
  va_end(args);
  line[used++] = L'\n';
  // The UTF-8 form goes out in pieces under the stream's own lock, so the line
  // stays whole without a second line-sized buffer.
  FILE* stream = Stream();
  flockfile(stream);
  char chunk[8192];
  std::size_t filled = 0;
  const wchar_t* p = line;
  const wchar_t* end = line + used;
  while (p < end) {
    if (filled + 4 > sizeof chunk) {
      fwrite_unlocked(chunk, 1, filled, stream);
      filled = 0;
    }
    filled += tool::text_internal::EncodeUtf8(tool::text_internal::DecodeWide(p, end), chunk + filled);
  }
  fwrite_unlocked(chunk, 1, filled, stream);
  fflush_unlocked(stream);
  funlockfile(stream);
}

void SetLogSeverity(int threshold) { g_threshold.store(threshold, std::memory_order_relaxed); }

void SetLogTarget(const std::string& file_path) {
  // Both line mutexes: a line being written is never cut by a closing stream.
  std::scoped_lock lock(g_narrow_mutex, g_wide_mutex);
  if (file_path.empty()) {
    if (g_stream) std::fclose(g_stream);
    g_stream = nullptr;
    return;
  }
  std::string path = file_path;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  struct stat info {};
  bool exists = ::stat(path.c_str(), &info) == 0;
  long long size = exists ? static_cast<long long>(info.st_size) : 0;
  if (g_stream) std::fclose(g_stream);
  g_stream = nullptr;
  // A FIFO would block the open until a reader comes; a folder cannot be a log.
  if (exists && (S_ISFIFO(info.st_mode) || S_ISDIR(info.st_mode))) return;
  // "e": the descriptor is close-on-exec, so children never inherit the log.
  g_stream = std::fopen(path.c_str(), size > kRewriteAbove ? "we+" : "ae+");
}

}  // extern "C"
