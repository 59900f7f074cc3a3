// An ffprobe answer is remembered while the file stays the same file, with
// the same size and modification time, and only then; the two kinds of probe
// (full and format only) each get exactly what they ask for.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "engine/config_commands.h"
#include "engine/engine_context.h"
#include "QelApi/engine/engine_test_util.h"
#include "support/task_events.h"
#include "support/engine_context_access.h"

namespace qel::test {
namespace {

TEST(ProbeCache, RemembersAnUnchangedFileAndProbesAChangedOne) {
  TempDir dir;
  const std::string clip = dir.file("clip.mp4");
  makeClip(clip, clipOf(1.0));
  EngineContext engine(realToolsConfig("cache"));

  std::string full;
  ASSERT_EQ(runProbe(engine, clip.c_str(), full, false), 0);
  std::string format;
  ASSERT_EQ(runProbe(engine, clip.c_str(), format, true), 0);
  EXPECT_NE(full.find("\"streams\""), std::string::npos);
  EXPECT_EQ(format.find("\"streams\""), std::string::npos);

  // Without a working ffprobe only remembered answers can come back.
  EngineContextTestAccess::config(engine).ffprobe_pathname = dir.file("no-such-ffprobe");
  std::string again;
  ASSERT_EQ(runProbe(engine, clip.c_str(), again, false), 0);
  EXPECT_EQ(again, full);
  again.clear();
  ASSERT_EQ(runProbe(engine, clip.c_str(), again, true), 0);
  EXPECT_EQ(again, format);

  // A new file under the same name is probed afresh.
  makeClip(clip, clipOf(2.0));
  again.clear();
  EXPECT_NE(runProbe(engine, clip.c_str(), again, false), 0);
}

}  // namespace
}  // namespace qel::test
