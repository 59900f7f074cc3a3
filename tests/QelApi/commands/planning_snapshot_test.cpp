// The planning snapshot: which of the parser's entries a task's plan takes,
// and its lookups, which never answer for the empty key.
#include "commands/planning_snapshot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qel {
namespace {

TaskOperation operation(std::vector<TaskIoItem> inputs, std::string transform) {
  TaskOperation made;
  made.m_inputs = std::move(inputs);
  made.m_transform = std::move(transform);
  made.m_outputs = {{1, "/o/out.mkv", ""}};
  return made;
}

TEST(PlanningSnapshot, TakesTheEntriesOfTheGraphsTheTaskNames) {
  const std::string input = "movie='/m/a.mp4'[out0]";
  const std::string inTransform = "movie='/m/b.mp4',scale=2:2[out0]";
  const std::string other = "movie='/m/c.mp4'[out0]";
  ParserRecords records;
  for (const std::string& graph : {input, inTransform, other, std::string()}) {
    records.inputFiles[graph] = {graph.empty() ? "/m/failed.mp4" : "/m/" + graph.substr(10, 5)};
    records.durations[graph] = 3.0;
  }
  records.durations[input] = 4.5;

  PlanningSnapshot snapshot;
  snapshot.takeParserEntries({operation({{2, input, ""}, {1, "/m/d.mp4", ""}}, "-c copy"),
                              operation({{1, "/m/b.mp4", ""}}, "-filter_complex \"" + inTransform + "\" -map 0:a"),
                              operation({{2, "/t/middle.mkv", ""}}, "")},
                             records);

  EXPECT_EQ(snapshot.inputFiles.size(), 2u);
  EXPECT_EQ(snapshot.durations.size(), 2u);
  ASSERT_NE(snapshot.findInputFiles(input), nullptr);
  EXPECT_EQ(*snapshot.findInputFiles(input), std::vector<std::string>{"/m/a.mp4"});
  ASSERT_NE(snapshot.findInputFiles(inTransform), nullptr);
  EXPECT_EQ(snapshot.durationOf(input), 4.5);
  EXPECT_EQ(snapshot.durationOf(inTransform), 3.0);
  EXPECT_EQ(snapshot.findInputFiles(other), nullptr);
  EXPECT_EQ(snapshot.durationOf(other), 0.0);

  // Even set by hand, the empty key answers nothing.
  snapshot.inputFiles[""] = {"/m/failed.mp4"};
  snapshot.durations[""] = 9.0;
  EXPECT_EQ(snapshot.findInputFiles(""), nullptr);
  EXPECT_EQ(snapshot.durationOf(""), 0.0);
}

}  // namespace
}  // namespace qel
