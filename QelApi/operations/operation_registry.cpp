#include "operations/operation_registry.h"

#include <memory>

#include "operations/lavfi_add_audio_to_file.h"
#include "operations/lavfi_add_subtitle_to_file.h"
#include "operations/lavfi_add_video_to_file.h"
#include "operations/lavfi_audio_filter.h"
#include "operations/lavfi_compression.h"
#include "operations/lavfi_contactor.h"
#include "operations/lavfi_convert.h"
#include "operations/lavfi_croper.h"
#include "operations/lavfi_cutter.h"
#include "operations/lavfi_pic_to_gif.h"
#include "operations/lavfi_seek.h"
#include "operations/lavfi_speed_adjuster.h"
#include "operations/lavfi_track_selection.h"
#include "operations/lavfi_video_effect.h"
#include "operations/lavfi_video_filling.h"
#include "operations/lavfi_video_to_gif.h"
#include "operations/lavfi_water_mark.h"

namespace qel {
namespace {

template <class Operation>
std::shared_ptr<LavfiOperation> makeOperation() {
  return std::make_shared<Operation>();
}

using OperationFactory = std::shared_ptr<LavfiOperation> (*)();

// The registry, in its fixed order: the first operation whose name matches a
// request's "description" wins, so the order is part of the behaviour; a
// description no operation has fails as unknown. The operations and their
// positions:
//    1 LavfiCutter "cut"                 10 LavfiVideoFilling "videoFilling"
//    2 LavfiCroper "crop"                11 LavfiWaterMark "waterMark"
//    3 LavfiConvert "convert"            12 LavfiTrackSelection "trackSelection"
//    4 LavfiContactor "contact"          13 LavfiSpeedAdjuster "speedAdjuster"
//    5 LavfiAudioFilter "audioFilter"    14 LavfiCompression "compression"
//    6 LavfiPicToGif "pictureToGif"      15 LavfiAddAudioToFile "addAudioToFile"
//    7 LavfiVideoToGif "videoToGif"      16 LavfiAddVideoToFile "addVideoToFile"
//    8 LavfiVideoEffect "videoEffect"    17 LavfiAddSubtitleToFile "addSubtitleToFile"
//    9 LavfiSeek "seekPosition"
const OperationFactory kOperationFactories[] = {
    &makeOperation<LavfiCutter>,             // 1
    &makeOperation<LavfiCroper>,             // 2
    &makeOperation<LavfiConvert>,            // 3
    &makeOperation<LavfiContactor>,          // 4
    &makeOperation<LavfiAudioFilter>,        // 5
    &makeOperation<LavfiPicToGif>,           // 6
    &makeOperation<LavfiVideoToGif>,         // 7
    &makeOperation<LavfiVideoEffect>,        // 8
    &makeOperation<LavfiSeek>,               // 9
    &makeOperation<LavfiVideoFilling>,       // 10
    &makeOperation<LavfiWaterMark>,          // 11
    &makeOperation<LavfiTrackSelection>,     // 12
    &makeOperation<LavfiSpeedAdjuster>,      // 13
    &makeOperation<LavfiCompression>,        // 14
    &makeOperation<LavfiAddAudioToFile>,     // 15
    &makeOperation<LavfiAddVideoToFile>,     // 16
    &makeOperation<LavfiAddSubtitleToFile>,  // 17
};

}  // namespace

OperationRegistry makeOperationRegistry() {
  OperationRegistry registry;
  registry.reserve(std::size(kOperationFactories));
  for (OperationFactory make : kOperationFactories) registry.push_back(make());
  return registry;
}

}  // namespace qel
