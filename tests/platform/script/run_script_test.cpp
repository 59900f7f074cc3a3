// The run script (QEL_SCRIPT) driving the dialogs' modal loop.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/ui/dialog_fixture.h"
#include "support/test_support.h"

namespace platform::ui {
namespace {

// The script clicks the latest dialog that has the control, whichever dialog
// runs the modal loop; a click nobody can take is reported and dropped.
TEST_F(Dialogs, ScriptClicksReachTheLatestDialogWithTheControl) {
  std::optional<qel::test::ScopedEnv> script;
  script.emplace("QEL_SCRIPT", std::string("50 click OK; 100 click NOWHERE; 150 click ONLY_A"));
  TestDialog first("a.xml", "ONLY_A");
  ASSERT_NE(first.Create(nullptr, "first", 0, 0, {0, 0, 0, 0}), nullptr);
  TestDialog second("b.xml", "");
  ASSERT_NE(second.Create(nullptr, "second", 0, 0, {0, 0, 0, 0}), nullptr);
  EXPECT_EQ(first.ShowModal(), 0);
  script.reset();
  EXPECT_EQ(second.clicks, std::vector<std::string>{"OK"});
  EXPECT_EQ(first.clicks, std::vector<std::string>{"ONLY_A"});
}

}  // namespace
}  // namespace platform::ui
