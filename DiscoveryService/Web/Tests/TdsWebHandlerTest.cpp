#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DataStream.h"
#include "DiscoveryServicePersistent.h"
#include "HttpRequest.h"
#include "HttpServer.h"
#include "TalvenorDiscoveryAppData.h"
#include "TdsWebHandler.h"
#include "TestDataRoot.h"
#include "TestWait.h"

namespace corvane::talvenor {
namespace {

// Request spool folders and logs of this suite stay in a private data root.
test::TempDataRoot g_dataRoot;

using server::IDiscoveryService;
using DisplayInfo = IDiscoveryService::DisplayInfo;

using test::WaitUntil;

const char kDisplayId[] = "2783ffd0-7ec7-11e2-9e96-0800200c9a66";

DisplayInfo MakeDisplay(const std::string& name, uint32_t ipv4, uint16_t port, uint32_t flags,
                        const std::string& appData) {
  DisplayInfo display;
  display.id = UUID(kDisplayId);
  display.name = name;
  display.ipv4 = ipv4;
  display.port = port;
  display.flags = flags;
  display.appData = appData;
  return display;
}

std::string Session(const std::string& appData) {
  std::string out = "unset";
  TalvenorDiscoveryAppData::ParseSessionName(appData, &out);
  return out;
}

std::string Tags(const std::string& appData) {
  TagSet tags;
  TalvenorDiscoveryAppData::ParseTags(appData, &tags);
  std::string out;
  for (const auto& tag : tags) out += tag.name + "(" + std::to_string(tag.colorIndex) + ")";
  return out;
}

TEST(TalvenorDiscoveryAppDataTest, EntriesTagsAndSyncedDisplaysFollowTheScannerRules) {
  EXPECT_EQ("Room 1", Session("SN=Room 1;"));
  EXPECT_EQ("", Session("SN=Room 1"));
  EXPECT_EQ("b", Session("XSN=a;SN=b;"));
  EXPECT_EQ("", Session("sn=a;"));
  EXPECT_EQ("b", Session("SN=;SN=b;"));
  EXPECT_EQ("", Session(" SN=a;"));
  EXPECT_EQ(std::string(1024, 'v'), Session("SN=" + std::string(2000, 'v') + ";"));
  // A NUL ends the text an entry is read from, not the search for entries;
  // the value before it still counts.
  EXPECT_EQ("a", Session(std::string("SN=a\0;", 6)));
  EXPECT_EQ("c", Session(std::string("XX=\0;SN=c;", 10)));

  EXPECT_EQ("a:b(2)", Tags("TG=a%3Ab:2,A%3AB:3;"));
  EXPECT_EQ("Pink(2)Red(1)", Tags("TG=Red:1,Green,Blue:x,Pink:2;"));
  EXPECT_EQ("Blue(1)Red,Blue(1)", Tags("TG=Red,Blue:1;"));
  EXPECT_EQ("Blue(1)", Tags("TG=Blue: 1;"));
  EXPECT_EQ("Blue(-1)", Tags("TG=Blue:-1;"));
  EXPECT_EQ("x(2147483647)y(-2147483648)", Tags("TG=x:99999999999,y:-99999999999;"));
  EXPECT_EQ("a%252Cb,c;(1)", Tags("TG=a%252Cb%2Cc%3B:1;"));
  EXPECT_EQ(std::string(255, 'n') + "(1)", Tags("TG=" + std::string(255, 'n') + ":1;"));
  EXPECT_EQ("", Tags("TG=" + std::string(256, 'n') + ":1;"));

  std::vector<UUID> synced{UUID()};
  TalvenorDiscoveryAppData::ParseSyncedDisplays("SD=,,;", &synced);
  EXPECT_TRUE(synced.empty());
  TalvenorDiscoveryAppData::ParseSyncedDisplays(
      "SD=2783ffd0-7ec7-11e2-9e96-0800200c9a66,,2783ffd0-7ec7-11e2-9e96-0800200c9a66,zz;", &synced);
  ASSERT_EQ(3u, synced.size());
  EXPECT_EQ("2783ffd0-7ec7-11e2-9e96-0800200c9a66", synced[1].ToString());
  EXPECT_EQ(UUID(), synced[2]);

  EXPECT_EQ("0x6b9ff2", TagColorText(0));
  EXPECT_EQ("0xd981b7", TagColorText(3));
  EXPECT_EQ("0x000000", TagColorText(4));
  EXPECT_EQ("0x000000", TagColorText(-1));
}

TEST(TalvenorDiscoveryAppDataTest, TagsSerialiseAsNameColourByteAndReserved) {
  client::IDiscovery::Tag tag("Red", 257);
  RefPtr<IDataStream> stream;
  ASSERT_EQ(0, CreateDataStream(stream.Receive()));
  EXPECT_EQ(0, tag.Serialize(stream.Get()));
  uint32_t size = 0;
  stream->GetSize(&size);
  ASSERT_EQ(12u, size);
  uint8_t bytes[12];
  ASSERT_EQ(0, stream->Read(bytes, 12));
  const uint8_t expected[12] = {3, 0, 0, 0, 'R', 'e', 'd', 1, 0, 0, 0, 0};
  EXPECT_EQ(0, memcmp(expected, bytes, 12));

  RefPtr<IDataStream> in;
  ASSERT_EQ(0, CreateDataStream(in.Receive()));
  in->Write(expected, 12);
  client::IDiscovery::Tag back("", 0);
  EXPECT_EQ(0, back.Deserialize(in.Get()));
  EXPECT_EQ("Red", back.name);
  EXPECT_EQ(1, back.colorIndex);
  EXPECT_LT(back.Deserialize(in.Get()), 0);  // nothing left

  auto map = boost::get<MonitorMap>(client::IDiscovery::Tag("Blue", 1).GetMonitorMap());
  EXPECT_EQ("tag", boost::get<std::string>(map["type"]));
  EXPECT_EQ("0xf2836b", boost::get<std::string>(map["color"]));
}

TEST(TdsWebHandlerJsonTest, DocumentsMatchByteForByteWithEscaping) {
  EXPECT_EQ(R"({"displays":[]})", TdsWebHandler::BuildDiscoverJson({}));
  EXPECT_EQ(
      R"({"connections":{"publisher_count":0,"subscriber_count":0,"publisher_disconnect_count":0,)"
      R"("subscriber_disconnect_count":0},"disconnected_displays":[]})",
      TdsWebHandler::BuildConnectionsJson(0, 0, 0, 0, {}));
  EXPECT_EQ(
      R"({"connections":{"publisher_count":4294967295,"subscriber_count":2,"publisher_disconnect_count":3,)"
      R"("subscriber_disconnect_count":4},"disconnected_displays":[{"name":"Gone","disconnect_count":7}]})",
      TdsWebHandler::BuildConnectionsJson(0xFFFFFFFFu, 2, 3, 4, {{"Gone", 7}}));

  const DisplayInfo d1 = MakeDisplay("D1", 0x0A000001, 53202, 0x01030800, "TG=Blue:1;SN=Room;SD=,;");
  EXPECT_EQ(
      R"({"displays":[{"name":"D1","id":"2783ffd0-7ec7-11e2-9e96-0800200c9a66","ipv4":"10.0.0.1","port":53202,)"
      R"("user_count":3,"locked":true,"airplay_enabled":false,"session_capable":false,"in_session":true,)"
      R"("tags":[{"tag_name":"Blue","tag_color_index":1}],"session_name":"Room","synced_display_ids":[]}]})",
      TdsWebHandler::BuildDiscoverJson({d1}));

  // Not in session: no session members even with SN and SD present. Names
  // keep NUL and high bytes; quotes, backslashes and controls are escaped.
  DisplayInfo d2;
  d2.name = std::string("q\"b\\s\x01\x1f\n\t\0\xff", 11);
  d2.ipv4 = 0xC0A8010A;
  d2.flags = 0x02004000;
  d2.appData = "SN=x;SD=2783ffd0-7ec7-11e2-9e96-0800200c9a66;TG=a:257,b:-1;";
  EXPECT_EQ(std::string(R"({"displays":[{"name":"q\"b\\s\u0001\u001F\n\t\u0000)") + "\xff" +
                R"(","id":"00000000-0000-0000-0000-000000000000","ipv4":"192.168.1.10","port":0,"user_count":0,)"
                R"("locked":false,"airplay_enabled":true,"session_capable":true,"in_session":false,)"
                R"("tags":[{"tag_name":"a","tag_color_index":1},{"tag_name":"b","tag_color_index":255}]}]})",
            TdsWebHandler::BuildDiscoverJson({d2}));
}

using Cache = TdsWebHandler::DocumentCache<uint64_t>;
using Document = std::shared_ptr<const std::string>;

Document Text(const char* text) { return std::make_shared<const std::string>(text); }

// A build that shows it began and ends only when released.
struct HeldBuild {
  std::promise<void> began;
  std::promise<void> release;
  std::shared_future<void> released{release.get_future().share()};
  Cache::Build Returning(uint64_t version, const char* text) {
    return [this, version, text](uint64_t* key, bool* keep) {
      began.set_value();
      released.wait();
      *key = version;
      *keep = true;
      return Text(text);
    };
  }
};

// A caller whose wait shows it has come: the cache asks whether it is
// cancelled only once it has seen how many builds had begun.
struct Caller {
  std::atomic<bool> waiting{false};
  std::atomic<bool> cancel{false};
  std::function<bool()> Cancelled() {
    return [this] {
      waiting.store(true);
      return cancel.load();
    };
  }
};

TEST(TdsDocumentCacheTest, ARequestNeverGetsADocumentOlderThanItselfAndWaitersShareOneBuild) {
  Cache cache;
  std::atomic<int> builds{0};
  const auto build = [&](uint64_t version, const char* text) -> Cache::Build {
    return [&builds, version, text](uint64_t* key, bool* keep) {
      builds.fetch_add(1);
      *key = version;
      *keep = true;
      return Text(text);
    };
  };
  const auto never = [] { return false; };
  EXPECT_EQ("v1", *cache.Get(1, build(1, "v1"), never));
  EXPECT_EQ("v1", *cache.Get(1, build(1, "other"), never));

  // A build of version 2 is under way when the registry moves to 3: the
  // callers that come then may take neither v1 nor v2.
  HeldBuild held;
  Document slow;
  std::thread first([&] { slow = cache.Get(2, held.Returning(2, "v2"), never); });
  held.began.get_future().wait();
  Caller a, b;
  Document seenA, seenB;
  std::thread second([&] { seenA = cache.Get(3, build(3, "v3"), a.Cancelled()); });
  std::thread third([&] { seenB = cache.Get(3, build(3, "v3"), b.Cancelled()); });
  EXPECT_TRUE(WaitUntil([&] { return a.waiting.load() && b.waiting.load(); }, 10000));
  held.release.set_value();
  first.join();
  second.join();
  third.join();
  EXPECT_EQ("v2", *slow);
  ASSERT_TRUE(seenA && seenB);
  EXPECT_EQ("v3", *seenA);
  EXPECT_EQ(seenA, seenB);  // one build for both
  EXPECT_EQ(2, builds.load());
  EXPECT_EQ("v3", *cache.Get(3, build(3, "other"), never));
}

// A stopping server's requests give up while a build they wait for still
// runs; the build's own caller sees its document, and nothing is kept of a
// build that gave up.
TEST(TdsDocumentCacheTest, AStoppingServersRequestsGiveUpWithoutADocument) {
  Cache cache;
  HeldBuild held;
  Document built;
  std::thread builder([&] { built = cache.Get(1, held.Returning(1, "v1"), [] { return false; }); });
  held.began.get_future().wait();
  Caller waiter;
  waiter.cancel.store(true);
  std::atomic<bool> returned{false};
  Document seen = Text("unset");
  std::thread waiting([&] {
    seen = cache.Get(2, [](uint64_t*, bool*) { return Text("never"); }, waiter.Cancelled());
    returned.store(true);
  });
  EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, 10000));
  held.release.set_value();
  waiting.join();
  builder.join();
  EXPECT_EQ(nullptr, seen);
  EXPECT_EQ("v1", *built);

  // A build that gave up leaves the way open for the next caller.
  EXPECT_EQ(nullptr, cache.Get(3, [](uint64_t*, bool*) { return Document(); }, [] { return false; }));
  EXPECT_EQ("v3", *cache.Get(3,
                             [](uint64_t* key, bool* keep) {
                               *key = 3;
                               *keep = true;
                               return Text("v3");
                             },
                             [] { return false; }));
}

std::string Joined(const TdsWebHandler::Pieces& pieces) {
  std::string text;
  for (const auto& piece : pieces) text += *piece;
  return text;
}

TEST(TdsWebHandlerJsonTest, AHugeDocumentGivesUpSoonAfterItsRequestIsCancelled) {
  const std::vector<DisplayInfo> displays(1000, MakeDisplay("d", 1, 2, 0x1000000, "SD=a,a,a;"));
  TdsWebHandler::DiscoverBuilder builder;
  int asked = 0;
  EXPECT_EQ(nullptr, builder.Build(displays, [&] { return ++asked == 3; }));
  EXPECT_EQ(3, asked);
  const auto pieces = builder.Build(displays, [] { return false; });
  ASSERT_TRUE(pieces);
  EXPECT_EQ(1u, pieces->size());  // small: one piece
  EXPECT_EQ(TdsWebHandler::BuildDiscoverJson(displays), Joined(*pieces));
  EXPECT_EQ("{\"displays\":[]}", Joined(*builder.Build({}, {})));
}

// A large registry with one display that keeps changing: each document is
// built by writing that display again, and shares every other display's
// bytes with the documents before it.
TEST(TdsWebHandlerJsonTest, OnlyAChangedDisplayIsWrittenAgain) {
  std::vector<DisplayInfo> displays;
  for (uint32_t n = 0; n < 5; ++n) {
    DisplayInfo display = MakeDisplay(std::string(1 << 20, static_cast<char>('a' + n)), n, 7000, 0, "");
    display.id = UUID(0xD0, 1, 2, n);
    displays.push_back(display);
  }
  TdsWebHandler::DiscoverBuilder builder;
  const auto first = builder.Build(displays, {});
  ASSERT_TRUE(first);
  ASSERT_EQ(6u, first->size());  // head with the first display, four more, tail
  EXPECT_EQ(TdsWebHandler::BuildDiscoverJson(displays), Joined(*first));

  displays[2].port = 7001;
  displays.push_back(displays[4]);  // listed twice
  const auto second = builder.Build(displays, {});
  ASSERT_TRUE(second);
  EXPECT_EQ(TdsWebHandler::BuildDiscoverJson(displays), Joined(*second));
  ASSERT_EQ(7u, second->size());
  EXPECT_EQ((*first)[1], (*second)[1]);
  EXPECT_NE((*first)[2], (*second)[2]);
  EXPECT_EQ((*first)[3], (*second)[3]);
  EXPECT_EQ((*first)[4], (*second)[4]);
  EXPECT_EQ((*first)[4], (*second)[5]);

  // Displays gone are let go with the next build.
  displays.resize(1);
  const auto third = builder.Build(displays, {});
  EXPECT_EQ(TdsWebHandler::BuildDiscoverJson(displays), Joined(*third));
  EXPECT_EQ(2, (*first)[3].use_count());  // first and second only
}

// The handler over a live registry, with requests assembled from the bytes a
// client sends and the response head the server puts in front.
class TdsWebHandlerTest : public ::testing::Test {
 protected:

  // Returns the full response a server would send, or "" when declined.
  std::string Serve(const std::string& requestText) {
    RefPtr<HttpServer::IUriHandler::Request> request(new HttpServer::IUriHandler::Request(), false);
    request->AppendBytes(requestText);
    EXPECT_TRUE(request->IsComplete());
    RefPtr<IDataStream> body;
    EXPECT_EQ(0, CreateDataStream(body.Receive()));
    std::string headers;
    if (!handler_->HandleRequest(request.Get(), body.Get(), &headers)) {
      uint32_t size = 1;
      body->GetSize(&size);
      EXPECT_EQ(0u, size);
      return "";
    }
    uint32_t size = 0;
    body->GetSize(&size);
    std::string text(size, '\0');
    body->Read(text.data(), size);
    return HttpServer::BuildResponseHead(headers, size, 0) + text;
  }

  std::shared_ptr<server::TalvenorDiscoveryServicePersistent> registry_ =
      std::make_shared<server::TalvenorDiscoveryServicePersistent>(0);
  RefPtr<TdsWebHandler> handler_{new TdsWebHandler(registry_), false};
};

TEST_F(TdsWebHandlerTest, AnswersTheTwoTargetsAndDeclinesEverythingElse) {
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\n"
      "Date: Thu, 01 Jan 1970 00:00:00 GMT\r\nServer: Talvenor 2.0\r\nLast-Modified: Thu, 01 Jan 1970 00:00:00 GMT\r\n"
      "Connection: close\r\n";
  EXPECT_EQ(head + "Content-Length: 15\r\n\r\n{\"displays\":[]}", Serve("GET /api/discover HTTP/1.1\r\n\r\n"));

  for (const char* target : {"/api/discover?x", "/api/discover/", "/API/DISCOVER", "/api", "/api/connectionsx"}) {
    EXPECT_EQ("", Serve(std::string("GET ") + target + " HTTP/1.1\r\n\r\n")) << target;
  }

  const DisplayInfo display =
      MakeDisplay("Lobby", 0x7F000001, 7000, 0x01000000, "SN=Demo;SD=2783ffd0-7ec7-11e2-9e96-0800200c9a66;TG=Red%2C1:0;");
  registry_->ForwardToSubscribers(display);
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::vector<DisplayInfo> all;
        registry_->GetDiscovered(&all);
        return all.size() == 1;
      },
      10000));
  const std::string json =
      R"({"displays":[{"name":"Lobby","id":"2783ffd0-7ec7-11e2-9e96-0800200c9a66","ipv4":"127.0.0.1","port":7000,)"
      R"("user_count":0,"locked":false,"airplay_enabled":false,"session_capable":false,"in_session":true,)"
      R"("tags":[{"tag_name":"Red,1","tag_color_index":0}],"session_name":"Demo",)"
      R"("synced_display_ids":[{"display_id":"2783ffd0-7ec7-11e2-9e96-0800200c9a66"}]}]})";
  EXPECT_EQ(head + "Content-Length: " + std::to_string(json.size()) + "\r\n\r\n" + json,
            Serve("GET /api/discover HTTP/1.1\r\nHost: x\r\n\r\n"));

  // POST, PUT and DELETE are answered like a GET; a body is not looked at.
  const std::string connections = Serve("GET /api/connections HTTP/1.1\r\n\r\n");
  EXPECT_NE(std::string::npos, connections.find("\r\n\r\n{\"connections\":{\"publisher_count\":0,"));
  EXPECT_EQ(connections,
            Serve("POST /api/connections HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n[]"));
  EXPECT_EQ(connections, Serve("PUT /api/connections HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(connections, Serve("DELETE /api/connections HTTP/1.1\r\n\r\n"));
}

// The document is kept while the registry's list stands; every change must
// still reach the next request, also while other requests are being served.
TEST_F(TdsWebHandlerTest, ServesTheCurrentListAfterEveryChange) {
  const std::string empty = "{\"displays\":[]}";
  const auto bodyOf = [&](const std::string& target) {
    const std::string response = Serve("GET " + target + " HTTP/1.1\r\n\r\n");
    const size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
  };
  EXPECT_EQ(empty, bodyOf("/api/discover"));

  DisplayInfo display = MakeDisplay("", 0, 7000, 0, "");
  const std::vector<std::string> names = {"First", "Second", "Third"};
  std::vector<std::string> documents;
  for (const auto& name : names) {
    display.name = name;
    documents.push_back(TdsWebHandler::BuildDiscoverJson({display}));
  }

  std::atomic<bool> stop{false};
  std::atomic<int> odd{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const std::string body = bodyOf("/api/discover");
        if (body != empty && std::find(documents.begin(), documents.end(), body) == documents.end()) {
          odd.fetch_add(1);
        }
      }
    });
  }
  for (size_t i = 0; i < names.size(); ++i) {
    display.name = names[i];
    registry_->ForwardToSubscribers(display);
    EXPECT_TRUE(WaitUntil([&] { return bodyOf("/api/discover") == documents[i]; }, 10000)) << names[i];
  }
  registry_->RemoveForeignDisplay(display.id);
  EXPECT_TRUE(WaitUntil([&] { return bodyOf("/api/discover") == empty; }, 10000));
  stop.store(true);
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(0, odd.load());
  // Nothing changed since: the document stays the empty one.
  EXPECT_EQ(empty, bodyOf("/api/discover"));
}

// A stopping server's request is taken without a document: nothing is
// built for it and nothing can reach its closing connection.
TEST_F(TdsWebHandlerTest, AStoppingServersRequestGetsNoDocument) {
  auto stopping = std::make_shared<std::atomic<bool>>(true);
  for (const char* target : {"/api/discover", "/api/connections"}) {
    RefPtr<HttpServer::IUriHandler::Request> request(new HttpServer::IUriHandler::Request(), false);
    request->SetCancelFlag(stopping);
    request->AppendBytes(std::string("GET ") + target + " HTTP/1.1\r\n\r\n");
    RefPtr<IDataStream> body;
    ASSERT_EQ(0, CreateDataStream(body.Receive()));
    std::string headers;
    EXPECT_TRUE(handler_->HandleRequest(request.Get(), body.Get(), &headers)) << target;
    uint32_t size = 1;
    body->GetSize(&size);
    EXPECT_EQ(0u, size) << target;
  }
  // The next server's requests are served as ever.
  EXPECT_NE(std::string::npos, Serve("GET /api/discover HTTP/1.1\r\n\r\n").find("{\"displays\":[]}"));
}

}  // namespace
}  // namespace corvane::talvenor
