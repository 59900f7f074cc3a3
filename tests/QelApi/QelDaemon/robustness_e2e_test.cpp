// Hostile and heavy traffic over live connections: every bad request gets a
// reply or a clean close of its own connection, while other clients go on
// being served; and many clients at once all get every reply, in order.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/text_convert.h"
#include "QelDaemon/ws_server.h"
#include "QelApi/QelDaemon/daemon_fixture.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;

std::string JsonString(const std::string& text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  return buffer.GetString();
}

std::string InvalidParameter(int64_t sid) {
  return "{\"sid\":" + std::to_string(sid) +
         ",\"error\":true,\"errorCode\":6510,\"errorDetail\":\"Invalid parameter\"}";
}

// How a bad request must end.
enum class Outcome {
  Reply,       // exactly `reply`
  ValidReply,  // some JSON object reply with this sid, valid UTF-8 (checked further by `check`)
  Closed,      // the server closes this one connection
};

using RobustnessE2eTest = DaemonFixture;

TEST_F(RobustnessE2eTest, BadInputGetsAReplyOrClosesOnlyItsConnection) {
  TestClient bystander;
  connect(bystander);

  // Deep enough to overflow a recursive parser's stack, short enough to stay
  // under the message bound.
  const std::string deep = std::string(1900000, '[') + std::string(1900000, ']');
  static_assert(2 * 1900000 + 64 < kMaxMessageBytes);
  const std::string shellName = dir_.file("$(touch pwned) \"quoted\" and spaces.mp4");
  makeClip(shellName, ClipSpec{});
  const std::string badTitle = dir_.file("title.mp4");
  ClipSpec titled;
  titled.extraArgs = {"-metadata", "title=\xff\xfe"};
  makeClip(badTitle, titled);

  struct Case {
    const char* name;
    std::string request;
    Outcome outcome;
    std::string reply;                              // Outcome::Reply
    int64_t sid;                                    // Outcome::ValidReply
    std::function<void(const std::string&)> check;  // Outcome::ValidReply
  };
  auto replyCase = [](const char* name, std::string request, std::string text) {
    return Case{name, std::move(request), Outcome::Reply, std::move(text), 0, nullptr};
  };
  auto validCase = [](const char* name, std::string request, int64_t sid,
                      std::function<void(const std::string&)> check) {
    return Case{name, std::move(request), Outcome::ValidReply, "", sid, std::move(check)};
  };
  const Case cases[] = {
      replyCase("1 MiB of [", std::string(1 << 20, '['), InvalidParameter(0)),
      replyCase("array root", "[1]", InvalidParameter(0)),
      replyCase("number root", "42", InvalidParameter(0)),
      replyCase("op of the wrong type", "{\"sid\":9,\"op\":[\"ping\"]}", InvalidParameter(9)),
      replyCase("path of the wrong type", "{\"sid\":9,\"op\":\"getmediaprops\",\"path\":{}}", InvalidParameter(9)),
      replyCase("taskId of the wrong type", "{\"sid\":9,\"op\":\"gettaskstate\",\"taskId\":\"7\"}",
                InvalidParameter(9)),
      replyCase("path with a NUL", "{\"sid\":9,\"op\":\"getmediaprops\",\"path\":\"/tmp/a.mp4\\u0000.txt\"}",
                InvalidParameter(9)),
      replyCase("operations of the wrong type",
                "{\"sid\":10,\"op\":\"starttask\",\"taskId\":880001,\"operations\":\"x\"}",
                "{\"sid\":10,\"error\":true,\"errorCode\":6510,\"errorDetail\":\"invalid parameters\"}"),
      // The engine parses these texts with a recursive parser: a deep one must
      // be stopped before it gets there.
      replyCase("deep text for the engine", "{\"sid\":11,\"op\":\"getloglevel\",\"x\":" + deep + "}",
                InvalidParameter(11)),
      replyCase("deep task", "{\"sid\":12,\"op\":\"starttask\",\"taskId\":880002,\"operations\":" + deep + "}",
                InvalidParameter(12)),
      replyCase("deep process", "{\"sid\":13,\"op\":\"process\",\"operation\":" + deep + "}", InvalidParameter(13)),
      Case{"over the size bound", "{\"sid\":14,\"op\":\"ping\",\"x\":\"" + std::string(kMaxMessageBytes, 'a') + "\"}",
           Outcome::Closed, "", 0, nullptr},
      // WebSocket text must be UTF-8: the protocol closes such a connection (1007).
      Case{"ill-formed UTF-8 frame", "{\"sid\":18,\"op\":\"ping\",\"x\":\"\xff\xfe\"}", Outcome::Closed, "", 0,
           nullptr},
      validCase("shell characters in a name",
                "{\"sid\":15,\"op\":\"getmediaprops\",\"path\":" + JsonString(shellName) + "}", 15,
                [this](const std::string& reply) {
                  EXPECT_NE(reply.find("\"codec_type\":\"video\""), std::string::npos) << reply;
                  EXPECT_EQ(reply.find("\"thumbnail\":\"\""), std::string::npos) << reply;
                  EXPECT_FALSE(fs::exists(dir_.file("pwned")));
                  EXPECT_FALSE(fs::exists("pwned"));
                }),
      validCase(
          "shell characters in a process request",
          "{\"sid\":16,\"op\":\"process\",\"operation\":{\"input\":[{\"type\":1,\"value\":" + JsonString(shellName) +
              ",\"duration\":1}],\"transform\":\"-vf scale=80:60\",\"description\":\"convert\",\"outputConfig\":\"\"}}",
          16,
          [this](const std::string&) {
            EXPECT_FALSE(fs::exists(dir_.file("pwned")));
            EXPECT_FALSE(fs::exists("pwned"));
          }),
      validCase("ill-formed title tag", "{\"sid\":17,\"op\":\"getmediaprops\",\"path\":" + JsonString(badTitle) + "}",
                17,
                [](const std::string& reply) {
                  EXPECT_NE(reply.find("\"title\":\"\xEF\xBF\xBD\xEF\xBF\xBD\""), std::string::npos) << reply;
                }),
  };

  int sid = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestClient client;
    connect(client);
    // A message over the bound may be cut off while it is still being written.
    bool sent = client.send(c.request);
    if (c.outcome != Outcome::Closed) {
      ASSERT_TRUE(sent);
    }
    auto received = client.receive();
    switch (c.outcome) {
      case Outcome::Reply: EXPECT_EQ(received.value_or("<none>"), c.reply); break;
      case Outcome::ValidReply: {
        ASSERT_TRUE(received.has_value());
        EXPECT_EQ(toValidUtf8(*received), *received) << "replies are valid UTF-8";
        rapidjson::Document document;
        document.Parse(received->c_str(), received->size());
        ASSERT_TRUE(document.IsObject()) << *received;
        ASSERT_TRUE(document.HasMember("sid") && document["sid"].IsInt64()) << *received;
        EXPECT_EQ(document["sid"].GetInt64(), c.sid) << *received;
        c.check(*received);
        break;
      }
      case Outcome::Closed:
        EXPECT_FALSE(received.has_value()) << received.value_or("");
        EXPECT_TRUE(client.closedByPeer());
        break;
    }
    // The same connection still works after a reply.
    if (c.outcome != Outcome::Closed) {
      EXPECT_EQ(client.request("{\"sid\":1,\"op\":\"ping\"}").value_or(""), "{\"sid\":1,\"pong\":\"ok\"}");
    }
    client.close();
    ++sid;
    EXPECT_EQ(bystander.request("{\"sid\":" + std::to_string(sid) + ",\"op\":\"ping\"}").value_or(""),
              "{\"sid\":" + std::to_string(sid) + ",\"pong\":\"ok\"}");
  }
  EXPECT_FALSE(hasExited(std::chrono::milliseconds(0)));
  bystander.close();
}

TEST_F(RobustnessE2eTest, ManyClientsAtOnceGetEveryReplyInOrder) {
  constexpr int kClients = 32;
  constexpr int kRequests = 500;
  constexpr int kWindow = 25;  // requests in flight per connection
  TestClient keeper;           // the daemon must still be up when all the others have gone
  connect(keeper);

  std::atomic<int> failures{0};
  std::vector<std::string> firstFailure(kClients);
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      auto fail = [&](std::string why) {
        if (firstFailure[c].empty()) firstFailure[c] = std::move(why);
        failures.fetch_add(1);
      };
      TestClient client;
      std::string error;
      if (!client.connect(port_, error)) {
        fail("connect: " + error);
        return;
      }
      auto requestOf = [c](int i, std::string& expectedPrefix, std::string& expectedPart) {
        int sid = c * 100000 + i;
        std::string s = std::to_string(sid);
        switch (i % 3) {
          case 0:
            expectedPrefix = "{\"sid\":" + s + ",\"pong\":\"ok\"}";
            expectedPart = "";
            return "{\"sid\":" + s + ",\"op\":\"ping\"}";
          case 1:
            expectedPrefix = "{\"sid\":" + s + ",\"taskId\":" + std::to_string(9000000 + i) + ",";
            expectedPart = "\"progress\":100";
            return "{\"sid\":" + s + ",\"op\":\"gettaskstate\",\"taskId\":" + std::to_string(9000000 + i) + "}";
          default:
            expectedPrefix = "{\"sid\":" + s + ",";
            expectedPart = "\"logLevel\":";
            return "{\"sid\":" + s + ",\"op\":\"getloglevel\"}";
        }
      };
      int sent = 0;
      for (int received = 0; received < kRequests; ++received) {
        while (sent < kRequests && sent - received < kWindow) {
          std::string prefix, part;
          if (!client.send(requestOf(sent, prefix, part))) {
            fail("send failed at " + std::to_string(sent));
            return;
          }
          ++sent;
        }
        std::string prefix, part;
        requestOf(received, prefix, part);
        auto reply = client.receive(std::chrono::seconds(60));
        if (!reply) {
          fail("no reply " + std::to_string(received));
          return;
        }
        if (reply->compare(0, prefix.size(), prefix) != 0 || reply->find(part) == std::string::npos) {
          fail("reply " + std::to_string(received) + " out of order or wrong: " + *reply);
          return;
        }
      }
      client.close();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  for (int c = 0; c < kClients; ++c) EXPECT_TRUE(firstFailure[c].empty()) << "client " << c << ": " << firstFailure[c];

  EXPECT_EQ(keeper.request("{\"sid\":1,\"op\":\"ping\"}").value_or(""), "{\"sid\":1,\"pong\":\"ok\"}");
  EXPECT_FALSE(hasExited(std::chrono::milliseconds(0)));
  keeper.close();
}

}  // namespace
}  // namespace qel::test
