#include "support/test_support.h"

#include <rapidjson/document.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "common/subprocess.h"

namespace qel::test {

std::string binDir() { return QEL_TEST_BIN_DIR; }
std::string ffmpegPath() { return binDir() + "/ffmpeg"; }
std::string ffprobePath() { return binDir() + "/ffprobe"; }
std::string sourceDir() { return QEL_TEST_SOURCE_DIR; }

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) saved_ = old;
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (saved_) {
    ::setenv(name_.c_str(), saved_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

TempDir::TempDir() {
  std::string pattern = "/tmp/qel-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error(
        fmt::format("mkdtemp failed: {}", std::error_code(errno, std::generic_category()).message()));
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

namespace {

std::string joinForMessage(const std::vector<std::string>& argv) {
  std::string text;
  for (const std::string& a : argv) {
    if (!text.empty()) text.push_back(' ');
    text += a;
  }
  return text;
}

}  // namespace

void makeClip(const std::string& path, const ClipSpec& recipe) {
  if (!recipe.video && !recipe.audio) throw std::runtime_error("makeClip: a clip needs video or audio");
  const std::string seconds = fmt::format("{}", recipe.seconds);
  std::vector<std::string> argv = {ffmpegPath(), "-hide_banner", "-nostdin", "-loglevel", "error", "-y"};
  if (recipe.video) {
    argv.insert(argv.end(), {"-f", "lavfi", "-i",
                             fmt::format("testsrc=size={}x{}:rate={}:duration={}", recipe.width, recipe.height,
                                         recipe.fps, seconds)});
  }
  if (recipe.audio) {
    argv.insert(argv.end(), {"-f", "lavfi", "-i",
                             fmt::format("sine=frequency=440:sample_rate={}:duration={}", recipe.sampleRate, seconds)});
    // sine is mono; -ac spreads it over the requested channel count.
    argv.insert(argv.end(), {"-ac", std::to_string(recipe.audioChannels)});
  }
  argv.insert(argv.end(), recipe.extraArgs.begin(), recipe.extraArgs.end());
  argv.push_back(path);

  const CapturedRun run = runAndCapture(argv, /*mergeStderr=*/true, std::chrono::minutes(2));
  if (!run.started || run.exitCode != 0) {
    throw std::runtime_error(fmt::format("makeClip failed (exit {}{}): {}\n{}", run.exitCode,
                                         run.error.empty() ? "" : ", " + run.error, joinForMessage(argv), run.output));
  }
}

int ProbeInfo::count(const std::string& codecType) const {
  const auto it = streamsByType.find(codecType);
  return it == streamsByType.end() ? 0 : it->second;
}

namespace {

std::string stringMember(const rapidjson::Value& object, const char* name) {
  const auto it = object.FindMember(name);
  if (it == object.MemberEnd() || !it->value.IsString()) return {};
  return std::string(it->value.GetString(), it->value.GetStringLength());
}

int intMember(const rapidjson::Value& object, const char* name) {
  const auto it = object.FindMember(name);
  if (it == object.MemberEnd()) return 0;
  if (it->value.IsInt()) return it->value.GetInt();
  if (it->value.IsString()) return std::atoi(it->value.GetString());
  return 0;
}

}  // namespace

ProbeInfo probe(const std::string& path) {
  ProbeInfo info;
  const std::vector<std::string> argv = {ffprobePath(), "-v",           "error",         "-print_format",
                                         "json",        "-show_format", "-show_streams", path};
  // Errors go to stderr and stay out of the JSON; a failure is rerun merged below
  // only to report why.
  const CapturedRun run = runAndCapture(argv, /*mergeStderr=*/false, std::chrono::minutes(1));
  info.json = run.output;
  if (!run.started || run.exitCode != 0) {
    const CapturedRun why = runAndCapture(argv, /*mergeStderr=*/true, std::chrono::minutes(1));
    info.error = fmt::format("ffprobe failed (exit {}): {}{}", run.exitCode, run.error, why.output);
    return info;
  }

  rapidjson::Document doc;
  doc.Parse(info.json.c_str(), info.json.size());
  if (doc.HasParseError() || !doc.IsObject()) {
    info.error = "ffprobe output is not a JSON object";
    return info;
  }
  const auto streams = doc.FindMember("streams");
  if (streams != doc.MemberEnd() && streams->value.IsArray()) {
    for (const auto& s : streams->value.GetArray()) {
      if (!s.IsObject()) continue;
      ProbeStream stream;
      stream.codecType = stringMember(s, "codec_type");
      stream.codecName = stringMember(s, "codec_name");
      stream.width = intMember(s, "width");
      stream.height = intMember(s, "height");
      stream.channels = intMember(s, "channels");
      stream.sampleRate = intMember(s, "sample_rate");
      ++info.streamsByType[stream.codecType];
      info.codecNames.push_back(stream.codecName);
      if (stream.codecType == "video" && info.width == 0 && info.height == 0) {
        info.width = stream.width;
        info.height = stream.height;
      }
      info.streams.push_back(std::move(stream));
    }
  }
  const auto format = doc.FindMember("format");
  if (format != doc.MemberEnd() && format->value.IsObject()) {
    info.formatName = stringMember(format->value, "format_name");
    const std::string duration = stringMember(format->value, "duration");
    if (!duration.empty()) {
      char* end = nullptr;
      const double value = std::strtod(duration.c_str(), &end);
      if (end != duration.c_str()) info.duration = value;
    }
  }
  info.ok = true;
  return info;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::map<std::string, std::string> folderSnapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const std::filesystem::directory_entry& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      files[entry.path().string()] = readFile(entry.path().string());
    } else {
      files[entry.path().string()] = "<folder>";
    }
  }
  return files;
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> readmeOperationExamples() {
  const std::string readme = readFile(sourceDir() + "/README.md");
  const std::size_t from = readme.find("<!-- operation-examples:begin -->");
  const std::size_t to = readme.find("<!-- operation-examples:end -->");
  std::vector<std::string> lines;
  if (from == std::string::npos || to == std::string::npos || to < from) return lines;
  std::istringstream section(readme.substr(from, to - from));
  std::string line;
  while (std::getline(section, line)) {
    if (line.rfind("    {\"op\"", 0) == 0) lines.push_back(line.substr(4));
  }
  return lines;
}

}  // namespace qel::test
