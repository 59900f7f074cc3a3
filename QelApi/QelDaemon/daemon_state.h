// What every request handler of the daemon shares: the settings, the engine
// handle and the task store, the thumbnail counter and record, and the group of the
// programs the daemon runs itself. One DaemonApp owns one; the server's
// callbacks hand it to every handler they call.
//
// Thread safety: the settings are written before the server starts and only
// read afterwards; the engine handle, the store, the counter and the group
// guard themselves.
#pragma once

#include <atomic>

#include "QelDaemon/daemon_settings.h"
#include "QelDaemon/engine_handle.h"
#include "QelDaemon/task_store.h"
#include "QelDaemon/thumbnail_ledger.h"
#include "common/subprocess.h"

namespace qel {

struct DaemonState {
  DaemonSettings settings;
  // Declared before the engine handle, so destroyed after it: the engine's
  // worker reports into the store until the handle has shut the engine down.
  TaskStore tasks;
  EngineHandle engine;
  std::atomic<unsigned> thumbnailCounter{0};
  // The record of this run's thumbnails, claimed before the server starts.
  ThumbnailLedger thumbnails;
  // The thumbnail ffmpeg and ffprobe runs of the handlers; the shutdown
  // cancels it, so that no handler keeps the daemon waiting for them.
  ChildGroup children;
};

}  // namespace qel
