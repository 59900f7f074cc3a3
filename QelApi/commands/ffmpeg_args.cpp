#include "commands/ffmpeg_args.h"

#include <utility>

#include "commands/vocabulary.h"
#include "common/ascii_case.h"
#include "common/command_line.h"

namespace qel {

namespace {

// ffmpeg's options without a value that the option table does not hold.
bool isUnlistedFlag(std::string_view name) { return name == "hide_banner" || name == "psnr" || name == "report"; }

bool isFlag(std::string_view name) {
  if (const FfmpegOption* row = findFfmpegOption(name)) return !row->takesArgument();
  return isUnlistedFlag(name);
}

// The options "-no" turns off: ffmpeg's booleans, which are its flags but two
// ("-noreport" is an error), and two that take a value when spelled without
// "no" ("-autorotate 0", "-noautorotate").
bool isBoolean(std::string_view name) {
  if (name == "autorotate" || name == "autoscale") return true;
  return isFlag(name) && name != "report" && name != "vstats";
}

bool isOptionSpelling(std::string_view arg) { return arg.size() > 1 && arg.front() == '-'; }

}  // namespace

std::string_view ffmpegOptionName(std::string_view arg) {
  if (!isOptionSpelling(arg)) return {};
  arg.remove_prefix(1);
  return arg.substr(0, arg.find(':'));
}

bool ffmpegOptionTakesValue(std::string_view arg) {
  const std::string_view name = ffmpegOptionName(arg);
  if (name.empty()) return false;
  if (isFlag(name)) return false;
  // "-nostdin" is "-stdin" turned off.
  if (name.starts_with("no") && isBoolean(name.substr(2))) return false;
  // Any other option, ffmpeg's own or one of a codec's or format's, takes
  // the next argument.
  return true;
}

std::vector<ArgRole> ffmpegArgRoles(const std::vector<std::string>& args) {
  std::vector<ArgRole> roles(args.size(), ArgRole::Option);
  std::size_t afterDashes = args.size();  // the argument after the last "--"
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      afterDashes = i + 1;  // "--" once more is "--" again
    } else if (!isOptionSpelling(arg) || i == afterDashes) {
      roles[i] = ArgRole::Output;
    } else if (arg == "-i") {
      if (i + 1 < args.size()) roles[++i] = ArgRole::Input;
    } else if (ffmpegOptionTakesValue(arg) && i + 1 < args.size()) {
      roles[++i] = ArgRole::Value;
    }
  }
  return roles;
}

std::vector<ArgGroup> ffmpegArgGroups(const std::vector<std::string>& args) {
  const std::vector<ArgRole> roles = ffmpegArgRoles(args);
  std::vector<ArgGroup> groups;
  std::vector<std::string> options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    switch (roles[i]) {
      case ArgRole::Input:
      case ArgRole::Output:
        groups.push_back({std::move(options), args[i],
                          roles[i] == ArgRole::Input ? ArgGroup::Kind::Input : ArgGroup::Kind::Output});
        options.clear();
        break;
      case ArgRole::Option:
        // "-i" and "--" only mark the name after them.
        if (args[i] != "-i" && args[i] != "--") options.push_back(args[i]);
        break;
      case ArgRole::Value:
        options.push_back(args[i]);
        break;
    }
  }
  if (!options.empty()) groups.push_back({std::move(options), "", ArgGroup::Kind::Trailing});
  return groups;
}

std::vector<ArgGroup> ffmpegArgGroups(const std::string& commandLine) {
  return ffmpegArgGroups(splitCommandLine(commandLine));
}

std::vector<ParsedOption> ffmpegOptions(const std::vector<std::string>& options) {
  std::vector<ParsedOption> parsed;
  for (std::size_t i = 0; i < options.size(); ++i) {
    ParsedOption option{ffmpegOptionName(options[i]), std::nullopt};
    if (ffmpegOptionTakesValue(options[i]) && i + 1 < options.size()) option.value = options[++i];
    parsed.push_back(option);
  }
  return parsed;
}

std::optional<std::string> lastOptionValue(const std::vector<std::string>& options, std::string_view option) {
  if (option.starts_with('-')) option.remove_prefix(1);
  std::optional<std::string> value;
  for (const ParsedOption& parsed : ffmpegOptions(options)) {
    if (parsed.name == option && parsed.value) value = std::string(*parsed.value);
  }
  return value;
}

std::optional<std::string> forcedOutputFormat(const std::vector<std::string>& options) {
  std::optional<std::string> format;
  for (const ParsedOption& option : ffmpegOptions(options)) {
    if (!option.value) continue;
    std::string_view value = *option.value;
    if (option.name == "f") {
      format = asciiLowerCopy(value);
    } else if (option.name == "target") {
      // ffmpeg's targets: a norm prefix, then "vcd", "svcd", "dvd" or any
      // "dv..." (written as "dv"); anything else is an error of ffmpeg's.
      for (std::string_view norm : {"pal-", "ntsc-", "film-"}) {
        if (value.starts_with(norm)) {
          value.remove_prefix(norm.size());
          break;
        }
      }
      if (value == "vcd" || value == "svcd" || value == "dvd") {
        format = std::string(value);
      } else if (value.starts_with("dv")) {
        format = "dv";
      } else {
        format = "-target " + std::string(*option.value);  // names no format: refused
      }
    }
  }
  return format;
}

std::string forcedInputFormat(const std::vector<std::string>& options) {
  return asciiLowerCopy(lastOptionValue(options, "f").value_or(std::string()));
}

}  // namespace qel
