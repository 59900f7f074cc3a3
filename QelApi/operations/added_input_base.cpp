#include "operations/added_input_base.h"

#include "operations/added_input_fragment.h"

namespace qel {

std::optional<AddedInputBase> openAddedInputBase(const LavfiInputItem& base, const SourceProbe& probe,
                                                 const std::string& silentAudio) {
  SourceGraphSpec recipe;
  recipe.subtitleClause = false;
  recipe.trim = TrimForm::WholeInput;
  recipe.duration = base.duration;
  recipe.silentAudio = silentAudio;
  std::optional<std::string> graph = buildSourceGraph(base.value, probe, recipe);
  std::optional<std::string> input = quotedInput(base.value);
  if (!graph || !input) return std::nullopt;
  return AddedInputBase{std::move(*graph), std::move(*input)};
}

}  // namespace qel
