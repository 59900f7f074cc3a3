#include "recorder_host/host_main.h"

#include "common/text_convert.h"
#include "platform/ui/work_area.h"
#include "qelrecorder/qelrecorder.h"
#include "recorder_host/cmd_options.h"
#include "recorder_host/host_output.h"
#include "recorder_host/record_viewer.h"
#include "recorder_host/recorder_library.h"
#include "recorder_host/stop_signals.h"

namespace qelhost {

namespace {

// The recorder's log lines: only the message is printed, level and function
// are not. The message is text, never a format.
void HostLogHandlerA(const char*, const char*, const char* message) { WriteLine(message != nullptr ? message : ""); }

void HostLogHandlerW(const char*, const char*, const wchar_t* message) { WriteLine(qel::wideToUtf8(message)); }

template <typename Fn>
Fn Bind(const char* name, const char* missingLine) {
  auto fn = reinterpret_cast<Fn>(FindRecorderExport(name));
  if (fn == nullptr) WriteLine(missingLine);
  return fn;
}

// A missing export ends the run: the exports after it are not looked for.
int CallSetters(const HostOptions& options, platform::ui::HWND viewer) {
  if (auto fn = Bind<SetEncodeParametersFn>(
          "SetEncodeParameters", "Cannot find export function SetEncodeParameters() in video recorder DLL...")) {
    fn(options.vcodec.c_str(), ReadInt(options.r), ReadInt(options.quality), ReadInt(options.bitrate),
       ExtraArguments(options).c_str());
  } else {
    return kHostFailed;
  }
  if (auto fn = Bind<SetTmpOutputDirectoryFn>(
          "SetTmpOutputDirectory", "Cannot find export function SetTmpOutputDirectory() in video recorder DLL...")) {
    fn(options.outputpath.c_str());
  } else {
    return kHostFailed;
  }
  if (auto fn = Bind<SetFFMpegPathFn>("SetFFMpegPath",
                                      "Cannot find export function SetFFMpegPath() in video recorder DLL...")) {
    fn(options.ffmpegpath.c_str());
  } else {
    return kHostFailed;
  }
  if (auto fn = Bind<SetCaptureAudioFn>("SetCaptureAudio",
                                        "Cannot find export function strRecordAudio() in video recorder DLL...")) {
    fn(RecordAudio(options));
  } else {
    return kHostFailed;
  }
  if (auto fn = Bind<SetHotKeyFn>("SetHotKey", "Cannot find export function SetHotKey() in video recorder DLL...")) {
    fn(options.starthotkey.c_str(), options.hidehotkey.c_str());
  } else {
    return kHostFailed;
  }
  if (auto fn =
          Bind<SetDelayTimeFn>("SetDelayTime", "Cannot find export function SetDelayTime() in video recorder DLL...")) {
    fn(static_cast<uint64_t>(ReadInt64(options.delaytime)));
  } else {
    return kHostFailed;
  }
  if (auto fn = Bind<SetLogHandlerFn>("SetLogHandler",
                                      "Cannot find export function SetLogHandler() in video recorder DLL...")) {
    fn(&HostLogHandlerA, &HostLogHandlerW);
  } else {
    return kHostFailed;
  }
  if (auto fn = Bind<SetMainAppWndFn>("SetMainAppWnd",
                                      "Cannot find export function SetMainAppWnd() in video recorder DLL...")) {
    fn(viewer);
  } else {
    return kHostFailed;
  }
  return 0;
}

}  // namespace

const char* LaunchResultLine(int result) {
  switch (result) {
    case 0: return "Screen recording successful.";
    case 1: return "Cancel screen recording.";
    case -3: return "Device not found, virtual sound drive installation maybe failed.";
    default: return "Call LaunchRecorder failed.";
  }
}

int RunHost(const std::vector<std::wstring>& args) {
  if (args.size() < 2) {
    WriteLine("Please set external parameters.");
    return kNoArguments;
  }
  const HostOptions options = ReadHostOptions(args);
  // Refused before the recorder is even loaded: nothing may be recorded with
  // an encoder command line the user did not mean.
  if (const std::string refused = RefusedValueLine(options); !refused.empty()) {
    WriteLine(refused);
    return kRefusedOption;
  }

  const platform::ui::HWND viewer = CreateRecordViewerWindow();
  if (viewer == nullptr) {
    WriteLine("Cannot create the record viewer window.");
    return kHostFailed;
  }
  if (!WatchStopSignals(viewer)) {
    WriteLine("Cannot watch the stop signals.");
    return kHostFailed;
  }

  if (const unsigned error = LoadRecorderLibrary(ProgramFolder() + kRecorderLibraryName); error != 0) {
    WriteLine("Failed to load library, error:" + std::to_string(error));
    return kHostFailed;
  }
  if (const int failed = CallSetters(options, viewer); failed != 0) return failed;

  auto launch =
      Bind<LaunchRecorderFn>("LaunchRecorder", "Cannot find export function LaunchRecorder() in video recorder DLL...");
  if (launch == nullptr) return kHostFailed;
  platform::ui::Rect workArea{0, 0, 0, 0};
  platform::ui::SystemParametersInfo(platform::ui::SPI_GETWORKAREA, &workArea);
  platform::ui::Rect region = RecordingRegion(workArea);
  const int result = launch(viewer, L"skin-blue", &region);
  WriteLine(LaunchResultLine(result));
  // The library stays loaded and the window alive until the process ends: a
  // recorder thread may still log through the handlers while the program exits.
  return result;
}

}  // namespace qelhost
