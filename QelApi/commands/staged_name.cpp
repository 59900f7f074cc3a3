#include "commands/staged_name.h"

#include "commands/spelled_files.h"

namespace qel {

namespace {

// Where the file name of a path starts: after its last '/'.
std::size_t fileNameStart(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

}  // namespace

std::string stagingFolderTemplate(std::string_view output) {
  const std::string_view path = fileBehindFFmpegPath(output);
  return std::string(path.substr(0, fileNameStart(path))) + std::string(kStagingFolderName);
}

std::string stagedOutputName(std::string_view folder, std::string_view output) {
  const std::string_view path = fileBehindFFmpegPath(output);
  return "file:" + std::string(folder) + "/" + std::string(path.substr(fileNameStart(path)));
}

}  // namespace qel
