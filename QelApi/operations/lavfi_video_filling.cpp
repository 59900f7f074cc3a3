#include "operations/lavfi_video_filling.h"

#include "commands/filter_text.h"
#include "common/text_edit.h"
#include "base/log.h"
#include "base/text_helpers.h"

namespace qel {

namespace {

constexpr const char* kFunction = "process";

}  // namespace

const char* LavfiVideoFilling::name() const { return "videoFilling"; }

LavfiResult LavfiVideoFilling::process(LavfiParser& parser, LavfiOperationDesc& desc) const {
  std::string filling = desc.transform;
  trimChars(filling, " ");

  CommonPattern pattern;
  pattern.opening.emptyLine = 18;
  pattern.opening.noOutputsLine = 35;
  pattern.opening.noStreamLine = 57;
  pattern.chainOnto = [&filling](std::string& graph, bool hasVideo, bool /*hasAudio*/) {
    chainFilters(graph, hasVideo, false, filling, "");
  };
  pattern.source.trim = TrimForm::WholeInput;
  pattern.source.videoFilter = filling;
  pattern.source.blackFiller = true;
  return processCommon(parser, desc, pattern);
}

}  // namespace qel
