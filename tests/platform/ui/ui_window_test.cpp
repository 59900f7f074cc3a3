#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/thread.h"
#include "platform/ui/window.h"

namespace platform::ui {
namespace {

struct Received {
  std::vector<uint32_t> messages;
  std::string copied;
  uintptr_t dwData = 0;
  ThreadId procThread = 0;
};

HWND makeReceiver(Received& r, HWND parent = HWND_MESSAGE) {
  WindowParams params;
  params.parent = parent;
  params.title = "receiver";
  params.proc = [&r](HWND, uint32_t msg, WPARAM, LPARAM lParam) -> LRESULT {
    r.messages.push_back(msg);
    r.procThread = CurrentThreadId();
    if (msg == WM_COPYDATA) {
      const auto* copy = reinterpret_cast<const CopyDataStruct*>(lParam);
      r.copied.assign(static_cast<const char*>(copy->lpData), copy->cbData);
      r.dwData = copy->dwData;
      return 42;
    }
    return 0;
  };
  return CreateWindowEx(params);
}

TEST(UiWindow, SendOnTheOwnerThreadRunsTheProcedureAtOnce) {
  const int before = LiveWindowCount();
  Received r;
  HWND w = makeReceiver(r);
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(IsMessageOnlyWindow(w));
  const char payload[] = "record";
  CopyDataStruct copy{1, sizeof payload, payload};
  EXPECT_EQ(SendMessage(w, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy)), 42);
  EXPECT_EQ(r.copied, std::string(payload, sizeof payload));
  EXPECT_EQ(r.dwData, 1u);
  EXPECT_TRUE(DestroyWindow(w));
  EXPECT_EQ(r.messages.back(), WM_DESTROY);
  EXPECT_EQ(LiveWindowCount(), before);
  EXPECT_FALSE(IsWindow(w));
  EXPECT_EQ(SendMessage(w, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy)), 0);
  EXPECT_FALSE(DestroyWindow(w));
}

// A record sent from another thread is handled on the window's own thread
// while it pumps, and the sender waits for the answer.
TEST(UiWindow, SendFromAnotherThreadWaitsForTheOwnerToPump) {
  Received r;
  HWND w = makeReceiver(r);
  std::atomic<LRESULT> answer{-1};
  std::thread sender([&] {
    char record[1056];
    std::memset(record, 'x', sizeof record);
    CopyDataStruct copy{1, sizeof record, record};
    answer = SendMessage(w, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
    PostMessage(w, WM_USER, 0, 0);
  });
  Msg msg{};
  ASSERT_EQ(GetMessage(msg), 1);  // ran the sent message, then got the posted one
  EXPECT_EQ(msg.message, WM_USER);
  DispatchMessage(msg);
  sender.join();
  EXPECT_EQ(answer.load(), 42);
  EXPECT_EQ(r.copied.size(), 1056u);
  EXPECT_EQ(r.procThread, CurrentThreadId());
  ASSERT_EQ(r.messages.size(), 2u);
  EXPECT_EQ(r.messages[1], WM_USER);
  DestroyWindow(w);
}

TEST(UiWindow, SenderIsReleasedWhenTheOwnerThreadEnds) {
  Received r;
  std::atomic<HWND> w{nullptr};
  std::atomic<bool> made{false};
  std::atomic<bool> quit{false};
  std::thread owner([&] {
    w = makeReceiver(r);
    made = true;
    while (!quit.load()) std::this_thread::yield();
  });
  while (!made.load()) std::this_thread::yield();
  std::thread sender([&] { EXPECT_EQ(SendMessage(w.load(), WM_USER, 0, 0), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  quit = true;  // the owner never pumps; its end answers the message
  owner.join();
  sender.join();
  EXPECT_TRUE(r.messages.empty());
  DestroyWindow(w.load());
}

TEST(UiWindow, QuitMessageEndsTheLoopAndPostNeedsAWindow) {
  EXPECT_FALSE(PostMessage(reinterpret_cast<HWND>(0x99), WM_USER, 0, 0));
  PostQuitMessage(3);
  Msg msg{};
  EXPECT_EQ(GetMessage(msg), 0);
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_FALSE(PeekMessage(msg));
}

TEST(UiWindow, ChildNeedsALiveParentAndKeepsItsState) {
  Received r;
  WindowParams params;
  params.parent = reinterpret_cast<HWND>(0x1234);
  EXPECT_EQ(CreateWindowEx(params), nullptr);
  params.parent = nullptr;
  params.title = "Qel Recorder";
  params.rect = {10, 20, 110, 220};
  HWND top = CreateWindowEx(params);
  ASSERT_NE(top, nullptr);
  EXPECT_FALSE(IsMessageOnlyWindow(top));
  EXPECT_EQ(GetWindowTitle(top), "Qel Recorder");
  Rect rect{};
  ASSERT_TRUE(GetWindowRect(top, rect));
  EXPECT_EQ(rect.right, 110);
  ASSERT_TRUE(SetWindowPos(top, {0, 0, 5, 5}));
  ASSERT_TRUE(GetWindowRect(top, rect));
  EXPECT_EQ(rect.bottom, 5);
  HWND child = makeReceiver(r, top);
  EXPECT_NE(child, nullptr);
  DestroyWindow(child);
  DestroyWindow(top);
}

}  // namespace
}  // namespace platform::ui
