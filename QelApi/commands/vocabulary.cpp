// The vocabulary tables too long for the header, and the lookups over all tables.
#include "commands/vocabulary.h"

#include <unordered_set>

namespace qel {

constinit const std::array<std::string_view, 118> AudioFilterNames{
    "abench", "acompressor", "acontrast", "acopy", "acue", "acrossfade",
    "acrossover", "acrusher", "adeclick", "adeclip", "adelay",
    "aderivative", "aecho", "aemphasis", "aeval", "afade", "afftdn",
    "afftfilt", "aformat", "agate", "aiir", "aintegral", "alimiter",
    "allpass", "aloop", "ametadata", "amultiply", "amix", "amovie",
    "anequalizer", "anlmdn", "anlms", "anull", "anullsrc", "apad",
    "aperms", "aphaser", "apulsator", "arealtime", "aresample", "areverse",
    "arnndn", "aselect", "asendcmd", "asetnsamples", "asetpts", "asetrate",
    "asettb", "ashowinfo", "asidedata", "asoftclip", "asplit", "astats",
    "atempo", "atrim", "axcorrelate", "bandpass", "bandreject", "bass",
    "biquad", "channelmap", "channelsplit", "chorus", "compand",
    "compensationdelay", "crossfeed", "crystalizer", "dcshift", "deesser",
    "drmeter", "dynaudnorm", "earwax", "ebur128", "equalizer",
    "extrastereo", "firequalizer", "flanger", "haas", "hdcd", "highpass",
    "highshelf", "loudnorm", "lowpass", "lowshelf", "mcompand", "pan",
    "replaygain", "sidechaincompress", "sidechaingate", "silencedetect",
    "silenceremove", "sofalizer", "stereotools", "stereowiden",
    "superequalizer", "surround", "treble", "tremolo", "vibrato", "volume",
    "volumedetect", "anullsink", "abitscope", "adrawgraph", "agraphmonitor",
    "ahistogram", "aphasemeter", "avectorscope", "showcqt", "showfreqs",
    "showspatial", "showspectrum", "showspectrumpic", "showvolume",
    "showwaves", "showwavespic", "afifo", "abuffersink",
};

constinit const std::array<std::string_view, 246> VideoFilterNames{
    "addroi", "alphaextract", "alphamerge", "amplify", "ass", "atadenoise",
    "avgblur", "bbox", "bench", "bilateral", "bitplanenoise",
    "blackdetect", "blackframe", "blend", "boxblur", "bwdif", "cas",
    "chromahold", "chromakey", "chromashift", "ciescope", "codecview",
    "color", "colorbalance", "colorchannelmixer", "colorkey", "colorhold",
    "colorlevels", "colormatrix", "colorspace", "concat", "convolution",
    "convolve", "copy", "cover_rect", "crop", "cropdetect", "cue",
    "curves", "datascope", "dctdnoiz", "deband", "deblock", "deconvolve",
    "dedot", "deflate", "deflicker", "deinterlace_qsv", "dejudder",
    "delogo", "derain", "deshake", "despill", "detelecine", "dilation",
    "displace", "dnn_processing", "doubleweave", "drawbox", "drawgraph",
    "drawgrid", "drawtext", "edgedetect", "elbg", "entropy", "eq",
    "erosion", "extractplanes", "fade", "fftdnoiz", "fftfilt", "field",
    "fieldhint", "fieldorder", "fillborders", "find_rect", "floodfill",
    "format", "fps", "framepack", "framerate", "framestep", "freezedetect",
    "freezeframes", "fspp", "gblur", "geq", "gradfun", "graphmonitor",
    "greyedge", "haldclut", "hflip", "histeq", "histogram", "hqdn3d",
    "hqx", "hue", "hwdownload", "hwmap", "hwupload", "hwupload_cuda",
    "hysteresis", "idet", "il", "inflate", "interlace", "kerndeint",
    "lagfun", "lenscorrection", "limiter", "loop", "lumakey", "lut",
    "lut1d", "lut2", "lut3d", "lutrgb", "lutyuv", "maskedclamp",
    "maskedmax", "maskedmerge", "maskedmin", "maskfun", "mcdeint",
    "median", "mestimate", "metadata", "midequalizer", "minterpolate",
    "movie", "mpdecimate", "negate", "nlmeans", "nnedi", "noformat",
    "noise", "normalize", "null", "oscilloscope", "overlay", "overlay_qsv",
    "overlay_cuda", "owdenoise", "pad", "palettegen", "paletteuse",
    "perms", "perspective", "phase", "photosensitivity", "pixdesctest",
    "pixscope", "pp", "pp7", "prewitt", "pseudocolor", "psnr", "pullup",
    "qp", "random", "readeia608", "readvitc", "realtime", "remap",
    "removegrain", "removelogo", "repeatfields", "reverse", "rgbashift",
    "roberts", "rotate", "sab", "scale", "scale_cuda", "scale_qsv",
    "scale2ref", "scroll", "select", "selectivecolor", "sendcmd",
    "separatefields", "setdar", "setfield", "setparams", "setpts",
    "setrange", "setsar", "settb", "showinfo", "showpalette",
    "shuffleframes", "shuffleplanes", "sidedata", "signalstats", "smartblur",
    "sobel", "split", "spp", "sr", "ssim", "stereo3d", "subtitles",
    "super2xsai", "swaprect", "swapuv", "tblend", "telecine", "thistogram",
    "threshold", "thumbnail", "thumbnail_cuda", "tile", "tinterlace",
    "tlut2", "tmix", "tonemap", "tpad", "transpose", "trim", "unsharp",
    "uspp", "v360", "vaguedenoiser", "vectorscope", "vflip", "vfrdet",
    "vibrance", "vidstabdetect", "vidstabtransform", "vignette",
    "vmafmotion", "vpp_qsv", "w3fdif", "waveform", "weave", "xbr",
    "xfade", "yadif", "yadif_cuda", "yaepblur", "zoompan", "zscale",
    "nullsink", "spectrumsynth", "fifo", "buffersink",
};

constinit const std::array<FfmpegOption, 147> FfmpegOptionTable{{
    {"f", kOptTakesArgument},
    {"c", kOptTakesArgument},
    {"codec", kOptTakesArgument},
    {"pre", kOptTakesArgument},
    {"map", kOptTakesArgument},
    {"map_channel", kOptTakesArgument},
    {"map_metadata", kOptTakesArgument},
    {"map_chapters", kOptTakesArgument},
    {"t", kOptTakesArgument},
    {"to", kOptTakesArgument},
    {"fs", kOptTakesArgument},
    {"ss", kOptTakesArgument},
    {"sseof", kOptTakesArgument},
    {"seek_timestamp", kOptTakesArgument},
    {"isync", kOptTakesArgument},
    {"itsoffset", kOptTakesArgument},
    {"itsscale", kOptTakesArgument},
    {"timestamp", kOptTakesArgument},
    {"metadata", kOptTakesArgument},
    {"program", kOptTakesArgument},
    {"dframes", kOptTakesArgument},
    {"progress", kOptTakesArgument},
    {"timelimit", kOptTakesArgument},
    {"readrate", kOptTakesArgument},
    {"target", kOptTakesArgument},
    {"vsync", kOptTakesArgument},
    {"frame_drop_threshold", kOptTakesArgument},
    {"async", kOptTakesArgument},
    {"adrift_threshold", kOptTakesArgument},
    {"copytb", kOptTakesArgument},
    {"shortest_buf_duration", kOptTakesArgument},
    {"apad", kOptTakesArgument},
    {"dts_delta_threshold", kOptTakesArgument},
    {"dts_error_threshold", kOptTakesArgument},
    {"abort_on", kOptTakesArgument},
    {"copypriorss", kOptTakesArgument},
    {"frames", kOptTakesArgument},
    {"tag", kOptTakesArgument},
    {"q", kOptTakesArgument},
    {"qscale", kOptTakesArgument},
    {"profile", kOptTakesArgument},
    {"filter", kOptTakesArgument},
    {"filter_threads", kOptTakesArgument},
    {"filter_script", kOptTakesArgument},
    {"reinit_filter", kOptTakesArgument},
    {"filter_complex", kOptTakesArgument},
    {"filter_complex_threads", kOptTakesArgument},
    {"lavfi", kOptTakesArgument},
    {"filter_complex_script", kOptTakesArgument},
    {"stats_period", kOptTakesArgument},
    {"attach", kOptTakesArgument},
    {"dump_attachment", kOptTakesArgument},
    {"stream_loop", kOptTakesArgument},
    {"max_error_rate", kOptTakesArgument},
    {"discard", kOptTakesArgument},
    {"disposition", kOptTakesArgument},
    {"thread_queue_size", kOptTakesArgument},
    {"bits_per_raw_sample", kOptTakesArgument},
    {"vframes", kOptTakesArgument},
    {"r", kOptTakesArgument},
    {"fpsmax", kOptTakesArgument},
    {"s", kOptTakesArgument},
    {"aspect", kOptTakesArgument},
    {"pix_fmt", kOptTakesArgument},
    {"rc_override", kOptTakesArgument},
    {"vcodec", kOptTakesArgument},
    {"timecode", kOptTakesArgument},
    {"pass", kOptTakesArgument},
    {"passlogfile", kOptTakesArgument},
    {"vstats_file", kOptTakesArgument},
    {"vstats_version", kOptTakesArgument},
    {"vf", kOptTakesArgument},
    {"intra_matrix", kOptTakesArgument},
    {"inter_matrix", kOptTakesArgument},
    {"chroma_intra_matrix", kOptTakesArgument},
    {"top", kOptTakesArgument},
    {"vtag", kOptTakesArgument},
    {"fps_mode", kOptTakesArgument},
    {"streamid", kOptTakesArgument},
    {"force_key_frames", kOptTakesArgument},
    {"ab", kOptTakesArgument},
    {"b", kOptTakesArgument},
    {"hwaccel", kOptTakesArgument},
    {"hwaccel_device", kOptTakesArgument},
    {"hwaccel_output_format", kOptTakesArgument},
    {"autorotate", kOptTakesArgument},
    {"autoscale", kOptTakesArgument},
    {"aframes", kOptTakesArgument},
    {"aq", kOptTakesArgument},
    {"ar", kOptTakesArgument},
    {"ac", kOptTakesArgument},
    {"acodec", kOptTakesArgument},
    {"atag", kOptTakesArgument},
    {"sample_fmt", kOptTakesArgument},
    {"channel_layout", kOptTakesArgument},
    {"ch_layout", kOptTakesArgument},
    {"af", kOptTakesArgument},
    {"guess_layout_max", kOptTakesArgument},
    {"scodec", kOptTakesArgument},
    {"stag", kOptTakesArgument},
    {"canvas_size", kOptTakesArgument},
    {"muxdelay", kOptTakesArgument},
    {"muxpreload", kOptTakesArgument},
    {"sdp_file", kOptTakesArgument},
    {"time_base", kOptTakesArgument},
    {"enc_time_base", kOptTakesArgument},
    {"bsf", kOptTakesArgument},
    {"absf", kOptTakesArgument},
    {"vbsf", kOptTakesArgument},
    {"apre", kOptTakesArgument},
    {"vpre", kOptTakesArgument},
    {"spre", kOptTakesArgument},
    {"fpre", kOptTakesArgument},
    {"max_muxing_queue_size", kOptTakesArgument},
    {"muxing_queue_data_threshold", kOptTakesArgument},
    {"dcodec", kOptTakesArgument},
    {"hwaccels", kOptTakesNextToken},
    {"y", 0},
    {"n", 0},
    {"ignore_unknown", 0},
    {"copy_unknown", 0},
    {"recast_media", 0},
    {"accurate_seek", 0},
    {"benchmark", 0},
    {"benchmark_all", 0},
    {"stdin", 0},
    {"dump", 0},
    {"hex", 0},
    {"re", 0},
    {"copyts", 0},
    {"start_at_zero", 0},
    {"shortest", 0},
    {"bitexact", 0},
    {"xerror", 0},
    {"copyinkf", 0},
    {"auto_conversion_filters", 0},
    {"stats", 0},
    {"debug_ts", 0},
    {"find_stream_info", 0},
    {"vn", 0},
    {"vstats", 0},
    {"qphist", 0},
    {"force_fps", 0},
    {"an", 0},
    {"sn", 0},
    {"fix_sub_duration", 0},
    {"dn", 0},
}};

namespace {

template <std::size_t N>
std::optional<int> findKind(const std::array<FilterKindEntry, N>& table, std::string_view name) {
  for (const auto& entry : table) {
    if (entry.name == name) return entry.kind;
  }
  return std::nullopt;
}

template <std::size_t N>
std::optional<std::string_view> findEncoder(const std::array<VendorEncoder, N>& table,
                                            std::string_view vendor) {
  for (const auto& entry : table) {
    if (entry.vendor == vendor) return entry.encoder;
  }
  return std::nullopt;
}

// Every filter of every chain is looked up, so the long lists get a hashed
// index. The sets are built on first use; C++ guarantees that happens once even
// when threads race to it, and they are only read afterwards.
template <std::size_t N>
std::unordered_set<std::string_view> makeNameSet(const std::array<std::string_view, N>& names) {
  return std::unordered_set<std::string_view>(names.begin(), names.end());
}

}  // namespace

std::optional<int> videoFilterKind(std::string_view name) { return findKind(VideoFilterKinds, name); }

std::optional<int> audioFilterKind(std::string_view name) { return findKind(AudioFilterKinds, name); }

bool isAudioFilterName(std::string_view name) {
  static const std::unordered_set<std::string_view> names = makeNameSet(AudioFilterNames);
  return names.count(name) != 0;
}

bool isVideoFilterName(std::string_view name) {
  static const std::unordered_set<std::string_view> names = makeNameSet(VideoFilterNames);
  return names.count(name) != 0;
}

const FfmpegOption* findFfmpegOption(std::string_view optionText) {
  for (const auto& row : FfmpegOptionTable) {
    if (optionText.size() < row.name.size() || optionText.compare(0, row.name.size(), row.name) != 0) {
      continue;
    }
    if (optionText.size() == row.name.size() || optionText[row.name.size()] == ':') return &row;
  }
  return nullptr;
}

bool containsFFmpegErrorText(std::string_view line) {
  for (std::string_view text : FFmpegErrorTexts) {
    if (line.find(text) != std::string_view::npos) return true;
  }
  return false;
}

std::optional<std::string_view> h264EncoderForVendor(std::string_view vendor) {
  return findEncoder(H264EncoderByVendor, vendor);
}

std::optional<std::string_view> hevcEncoderForVendor(std::string_view vendor) {
  return findEncoder(HevcEncoderByVendor, vendor);
}

}  // namespace qel
