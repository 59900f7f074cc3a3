#include "recorder_host/cmd_options.h"

#include <algorithm>
#include <limits>

#include "common/text_convert.h"
#include "recorder_host/host_output.h"

namespace qelhost {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\v' || c == L'\f'; }

// Reads like the C runtime's _wtoi family: saturates instead of overflowing.
template <typename T>
T ReadNumber(const std::wstring& text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  // Accumulated as a negative number, whose range holds the minimum too.
  T value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    const T digit = static_cast<T>(text[i] - L'0');
    if (value < (std::numeric_limits<T>::min() + digit) / 10) {
      return negative ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
    }
    value = value * 10 - digit;
  }
  if (negative) return value;
  return value == std::numeric_limits<T>::min() ? std::numeric_limits<T>::max() : -value;
}

}  // namespace

CmdOption GetCmdOption(const std::vector<std::wstring>& args, const std::wstring& name) {
  CmdOption option;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != L"-" + name && args[i] != L"--" + name) continue;
    option.found = true;
    for (size_t j = i + 1; j < args.size() && (args[j].empty() || args[j][0] != L'-'); ++j) {
      if (j > i + 1) option.value += L' ';
      option.value += args[j];
    }
    break;
  }
  return option;
}

void PrintOption(const std::wstring& name, const std::wstring& value) {
  WriteLine(qel::wideToUtf8(name) + ":" + qel::wideToUtf8(value));
}

int ReadInt(const std::wstring& text) { return ReadNumber<int>(text); }
int64_t ReadInt64(const std::wstring& text) { return ReadNumber<int64_t>(text); }

HostOptions ReadHostOptions(const std::vector<std::wstring>& args) {
  HostOptions options;
  const std::pair<const wchar_t*, std::wstring*> table[] = {
      {L"vcodec", &options.vcodec},
      {L"r", &options.r},
      {L"b:v", &options.bitrate},
      {L"outputpath", &options.outputpath},
      {L"starthotkey", &options.starthotkey},
      {L"hidehotkey", &options.hidehotkey},
      {L"recordaudio", &options.recordaudio},
      {L"delaytime", &options.delaytime},
      {L"ffmpegpath", &options.ffmpegpath},
      {L"preset", &options.preset},
      {L"tune", &options.tune},
      {L"quality", &options.quality},
  };
  for (const auto& [name, value] : table) {
    const CmdOption option = GetCmdOption(args, name);
    if (!option.found) continue;
    *value = option.value;
    PrintOption(name, option.value);
  }
  return options;
}

std::wstring ExtraArguments(const HostOptions& options) {
  std::wstring extra;
  if (!options.preset.empty()) extra += L" -preset " + options.preset;
  if (!options.tune.empty()) extra += L" -tune " + options.tune;
  return extra;
}

std::string RefusedValueLine(const HostOptions& options) {
  const std::pair<const wchar_t*, const std::wstring*> encoderValues[] = {
      {L"vcodec", &options.vcodec}, {L"r", &options.r},       {L"b:v", &options.bitrate},
      {L"preset", &options.preset}, {L"tune", &options.tune}, {L"quality", &options.quality},
  };
  for (const auto& [name, value] : encoderValues) {
    const bool oneWord = std::none_of(value->begin(), value->end(), [](wchar_t c) { return IsBlank(c) || c == L'"'; });
    if (oneWord) continue;
    return "Option -" + qel::wideToUtf8(name) + " takes one word; the value \"" + qel::wideToUtf8(*value) +
           "\" is refused, nothing is recorded.";
  }
  return std::string();
}

bool RecordAudio(const HostOptions& options) { return options.recordaudio == L"1"; }

platform::ui::Rect RecordingRegion(const platform::ui::Rect& workArea) {
  const int64_t w = static_cast<int64_t>(workArea.right) - workArea.left;
  const int64_t h = static_cast<int64_t>(workArea.bottom) - workArea.top;
  return {static_cast<int32_t>(w / 4), static_cast<int32_t>(h / 4), static_cast<int32_t>(w / 4 + w / 2),
          static_cast<int32_t>(h / 4 + h / 2)};
}

}  // namespace qelhost
