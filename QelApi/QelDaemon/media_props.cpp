#include "QelDaemon/media_props.h"

#include <cctype>
#include <chrono>
#include <climits>
#include <filesystem>
#include <system_error>

#include <fmt/format.h>
#include "QelDaemon/channel.h"
#include "QelDaemon/daemon_state.h"
#include "QelDaemon/replies.h"
#include "QelDaemon/request_dispatcher.h"
#include "QelDaemon/thumbnail_ledger.h"
#include "common/ascii_case.h"
#include "common/json_write.h"
#include "common/media_extensions.h"
#include "common/subprocess.h"
#include "common/text_convert.h"
#include "qelapi.h"

namespace qel {
namespace fs = std::filesystem;
namespace {

// ffmpeg and ffprobe on a thumbnail take well under a second; the bound only
// keeps a stuck child from holding the event loop for ever.
constexpr auto kThumbnailTimeout = std::chrono::seconds(60);
// How many names one thumbnail may pass over because files already hold them.
constexpr int kThumbnailNameTries = 1024;

template <size_t N>
bool InList(const std::array<std::string_view, N>& list, std::string_view ext) {
  for (std::string_view entry : list) {
    if (entry == ext) return true;
  }
  return false;
}

// The leading integer of a text, as atoi reads it, without atoi's overflow.
int LeadingInt(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  long long value = 0;
  while (*text >= '0' && *text <= '9') {
    value = value * 10 + (*text++ - '0');
    if (value > INT_MAX) return negative ? INT_MIN : INT_MAX;
  }
  return static_cast<int>(negative ? -value : value);
}

const rapidjson::Value* Member(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return nullptr;
  auto it = object.FindMember(name);
  return it == object.MemberEnd() ? nullptr : &it->value;
}

bool IsStringEqual(const rapidjson::Value* value, std::string_view text) {
  return value != nullptr && value->IsString() &&
         std::string_view(value->GetString(), value->GetStringLength()) == text;
}

std::string WriteCompact(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  value.Accept(writer);
  return jsonText(buffer);
}

// Rotated video: the thumbnail shows the picture upright, so its size is the
// displayed size. Streams with a non-zero "rotation" take it.
void ApplyDisplayedSize(rapidjson::Document& document, int width, int height) {
  auto streams = document.FindMember("streams");
  if (streams == document.MemberEnd() || !streams->value.IsArray()) return;
  for (auto& stream : streams->value.GetArray()) {
    if (!stream.IsObject()) continue;
    auto sideData = stream.FindMember("side_data_list");
    if (sideData == stream.MemberEnd() || !sideData->value.IsArray()) continue;
    for (const auto& item : sideData->value.GetArray()) {
      const rapidjson::Value* rotation = Member(item, "rotation");
      if (rotation == nullptr || !rotation->IsInt64() || rotation->GetInt64() == 0) continue;
      auto w = stream.FindMember("width");
      if (w != stream.MemberEnd()) w->value.SetInt(width);
      auto h = stream.FindMember("height");
      if (h != stream.MemberEnd()) h->value.SetInt(height);
      break;
    }
  }
}

}  // namespace

const char* MediaKindName(MediaKind kind) {
  switch (kind) {
    case MediaKind::Movie: return "movie";
    case MediaKind::Music: return "music";
    case MediaKind::Picture: return "picture";
    case MediaKind::Subtitle: return "";
    case MediaKind::Unknown: break;
  }
  return "unknown";
}

MediaKind GetMediaKind(std::string_view path) {
  size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return MediaKind::Unknown;
  std::string ext = asciiLowerCopy(path.substr(dot));
  if (InList(AudioExtensions, ext)) return MediaKind::Music;
  if (InList(VideoExtensions, ext)) return MediaKind::Movie;
  if (InList(ImageExtensions, ext)) return MediaKind::Picture;
  if (InList(SubtitleExtensions, ext)) return MediaKind::Subtitle;
  return MediaKind::Unknown;
}

StreamFlags GetStreamFlags(const rapidjson::Value& document) {
  StreamFlags flags;
  const rapidjson::Value* streams = Member(document, "streams");
  if (streams == nullptr || !streams->IsArray()) return flags;
  for (const auto& stream : streams->GetArray()) {
    const rapidjson::Value* type = Member(stream, "codec_type");
    if (IsStringEqual(type, "video")) flags.hasVideo = true;
    if (IsStringEqual(type, "audio")) flags.hasAudio = true;
  }
  return flags;
}

int GetMediaDuration(const rapidjson::Value& document) {
  const rapidjson::Value* streams = Member(document, "streams");
  if (streams == nullptr || !streams->IsArray()) return 0;
  for (const auto& stream : streams->GetArray()) {
    if (!IsStringEqual(Member(stream, "codec_type"), "video")) continue;
    const rapidjson::Value* duration = Member(stream, "duration");
    if (duration == nullptr) continue;
    return duration->IsString() ? LeadingInt(duration->GetString()) : 0;
  }
  const rapidjson::Value* format = Member(document, "format");
  const rapidjson::Value* duration = format != nullptr ? Member(*format, "duration") : nullptr;
  if (duration == nullptr || !duration->IsString()) return 0;
  return LeadingInt(duration->GetString());
}

std::vector<std::string> ThumbnailArguments(MediaKind kind, const std::string& mediaPath, const std::string& pngPath,
                                            int seconds) {
  switch (kind) {
    case MediaKind::Picture: return {"-v", "quiet", "-i", mediaPath, "-vf", "scale=640:-1", pngPath};
    case MediaKind::Music: return {"-v", "quiet", "-i", mediaPath, "-vframes", "1", pngPath};
    default: return {"-v", "quiet", "-ss", seconds < 6 ? "0" : "5", "-i", mediaPath, "-vframes", "1", pngPath};
  }
}

std::string MakeThumbnail(const DaemonSettings& settings, ThumbnailLedger& ledger, std::atomic<unsigned>& counter,
                          const std::string& path, MediaKind kind, const rapidjson::Value& document,
                          ChildGroup* children) {
  if (!CreatePrivateFolder(settings.thumbnailFolder)) return {};
  if (kind == MediaKind::Subtitle) return {};

  // A name that some file already holds is passed over: that file is not this
  // run's (the run's record claims the id), so it is neither replaced nor
  // reported as the new thumbnail (ffmpeg, stdin closed, no -y, would leave it).
  std::string name;
  std::string pngPath;
  std::error_code ec;
  for (int tries = 0; tries < kThumbnailNameTries; ++tries) {
    name = fmt::format("{}_{}.png", settings.instanceId, counter.fetch_add(1));
    pngPath = JoinPath(settings.thumbnailFolder, name);
    if (!fs::exists(fs::symlink_status(pngPath, ec))) break;
    pngPath.clear();
  }
  // Recorded before ffmpeg writes it, so "cleanthumbnail" of a later run
  // finds it even when this run ends in the middle.
  if (pngPath.empty() || !ledger.record(name)) return {};

  std::vector<std::string> argv{FfmpegProgram(settings)};
  for (std::string& arg : ThumbnailArguments(kind, path, pngPath, GetMediaDuration(document))) {
    argv.push_back(std::move(arg));
  }
  // Its exit status is not looked at: the file is what counts.
  runAndCapture(argv, true, kThumbnailTimeout, children);
  if (!fs::is_regular_file(pngPath, ec)) return {};
  return toValidUtf8(pngPath);
}

std::pair<int, int> GetImageSize(const DaemonSettings& settings, const std::string& pngPath, ChildGroup* children) {
  std::error_code ec;
  if (!fs::exists(pngPath, ec)) return {0, 0};
  CapturedRun run =
      runAndCapture({FfprobeProgram(settings), "-v", "quiet", "-print_format", "json", "-show_streams", pngPath}, true,
                    kThumbnailTimeout, children);
  if (!run.started) return {0, 0};
  rapidjson::Document document;
  document.Parse(run.output.c_str(), run.output.size());
  if (document.HasParseError() || !document.IsObject()) return {0, 0};
  const rapidjson::Value* streams = Member(document, "streams");
  if (streams == nullptr || !streams->IsArray() || streams->Empty()) return {0, 0};
  const rapidjson::Value& first = (*streams)[0];
  const rapidjson::Value* width = Member(first, "width");
  const rapidjson::Value* height = Member(first, "height");
  if (width == nullptr || height == nullptr || !width->IsInt() || !height->IsInt()) return {0, 0};
  return {width->GetInt(), height->GetInt()};
}

bool IsThumbnailFileName(std::string_view name) {
  constexpr size_t kId = static_cast<size_t>(kInstanceIdLength);
  constexpr std::string_view kSuffix = ".png";
  if (name.size() < kId + 1 + 1 + kSuffix.size()) return false;
  for (size_t i = 0; i < kId; ++i) {
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  }
  if (name[kId] != '_') return false;
  if (name.substr(name.size() - kSuffix.size()) != kSuffix) return false;
  std::string_view digits = name.substr(kId + 1, name.size() - kSuffix.size() - kId - 1);
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return !digits.empty();
}

void HandleGetMediaProps(DaemonState& state, const InputParam& param) {
  char* props = nullptr;
  int result = 0;
  {
    EngineLease engine(state.engine);
    result = qelapi_get_media_file_props(engine.get(), param.data.c_str(), &props);
  }
  std::string text = props != nullptr ? std::string(props) : std::string();
  qelapi_free_str(nullptr, &props);
  if (result != 0) {
    ResponseError(*param.channel, param.sid, result, qelapi_get_error_string(result));
    return;
  }

  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
  if (document.HasParseError() || !document.IsObject()) {
    ResponseError(*param.channel, param.sid, QEL_ERR_GET_MEDIA_PROPS, qelapi_get_error_string(QEL_ERR_GET_MEDIA_PROPS));
    return;
  }

  MediaKind kind = GetMediaKind(param.data);
  StreamFlags flags = GetStreamFlags(document);
  bool accepted = kind == MediaKind::Picture || kind == MediaKind::Subtitle ||
                  (kind == MediaKind::Music && flags.hasAudio) ||
                  (kind == MediaKind::Movie && (flags.hasVideo || flags.hasAudio));
  if (!accepted) {
    std::string detail = fmt::format("MideoType={},hasVideo={},hasAudio={}", MediaKindName(kind),
                                     flags.hasVideo ? 1 : 0, flags.hasAudio ? 1 : 0);
    qelapi_log('e', "GetQelMediaProps failed: %s", detail.c_str());
    ResponseError(*param.channel, param.sid, QEL_ERR_GET_MEDIA_PROPS, qelapi_get_error_string(QEL_ERR_GET_MEDIA_PROPS));
    return;
  }

  std::string thumbnail = MakeThumbnail(state.settings, state.thumbnails, state.thumbnailCounter, param.data, kind,
                                        document, &state.children);
  auto& allocator = document.GetAllocator();
  document.AddMember("sid", rapidjson::Value(param.sid), allocator);
  document.AddMember("thumbnail",
                     rapidjson::Value(thumbnail.c_str(), static_cast<rapidjson::SizeType>(thumbnail.size()), allocator),
                     allocator);

  if (kind == MediaKind::Movie && flags.hasVideo) {
    auto [width, height] = GetImageSize(state.settings, thumbnail, &state.children);
    if (width > 0 && height > 0) ApplyDisplayedSize(document, width, height);
  }
  SendLogged(*param.channel, WriteCompact(document));
}

void HandleCleanThumbnail(DaemonState& state, const InputParam& param) {
  SendLogged(*param.channel, SuccessReplyText(param.sid));
  RemoveEndedRunsThumbnails(state.settings.thumbnailFolder, state.settings.instanceId);
}

}  // namespace qel
