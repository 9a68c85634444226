// Filters, fan-out, reassembly and the batch checks of the streams.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "intake.h"
#include "records.h"
#include "sandbox.h"

using namespace testing_support;

namespace {

struct OpenStream {
  char *name = strdup("test");
  Stream *stream = nullptr;
  int fd = -1;
  explicit OpenStream(const std::vector<const char *> &groups,
                      const std::vector<const char *> &ids = {}) {
    EnsureRegistry();
    StreamFilter *f = StreamFilter_Create();
    for (const char *g : groups) StreamFilter_AddGroup(f, g);
    for (const char *i : ids) StreamFilter_AddId(f, i);
    EXPECT_EQ(Stream_Open(&name, f, &stream), 0);
    StreamFilter_Free(f);  // the stream keeps its own copy
    int count = 1;
    EXPECT_EQ(Stream_GetReadFds(stream, &count, &fd), 0);
  }
  ~OpenStream() {
    Stream_Close(stream);
    free(name);
  }
  // The next record's id; "" when none is pending. Records already read
  // from the pipe come first, so the pipe is polled only to tell a part
  // of a record from nothing.
  std::string Next() {
    bool unread = Readable(fd);
    Wisp *w = nullptr;
    bool complete = false;
    EXPECT_EQ(Stream_Read(stream, &w, &complete), 0);
    if (!complete) return unread ? "<partial>" : "";
    const char *id;
    Wisp_GetID(w, &id);
    std::string out = id;
    Wisp_Free(w);
    return out;
  }
  // The ids of every record pending, in order.
  std::vector<std::string> Rest() {
    std::vector<std::string> ids;
    for (std::string id; !(id = Next()).empty();) ids.push_back(id);
    return ids;
  }
};

using Ids = std::vector<std::string>;

TEST(StreamFilter, MatchesGroupsUpToADotAndExactIds) {
  StreamFilter *f = StreamFilter_Create();
  ASSERT_EQ(StreamFilter_AddGroup(f, "net"), 0);
  ASSERT_EQ(StreamFilter_AddGroup(f, "storage.apd"), 0);
  ASSERT_EQ(StreamFilter_AddId(f, "wisp.user.exact"), 0);
  auto accepts = [f](const char *id) { return StreamFilter_Accepts(f, id, strlen(id)); };
  EXPECT_TRUE(accepts("wisp.net.pnic.linkstate.down"));
  EXPECT_TRUE(accepts("wisp.storage.apd.start"));
  EXPECT_TRUE(accepts("wisp.user.exact"));
  EXPECT_FALSE(accepts("wisp.network.up"));
  EXPECT_FALSE(accepts("wisp.net"));
  EXPECT_FALSE(accepts("wisp.n"));
  EXPECT_FALSE(accepts("wisp.nat.up"));  // the dot in place, the group not
  EXPECT_FALSE(accepts("wisp.user.exact.more"));
  EXPECT_FALSE(accepts("wisp.storage.apdx.start"));
  for (int i = 2; i < STREAM_FILTER_MAX; ++i) EXPECT_EQ(StreamFilter_AddGroup(f, "g"), 0);
  EXPECT_EQ(StreamFilter_AddGroup(f, "eleventh"), 1);
  StreamFilter_Free(f);
}

TEST(StreamDispatch, DeliversEachRecordToEveryAcceptingStreamInOrder) {
  Root root;
  OpenStream net({"net"}), net2({"net"}), user({"user"}, {"wisp.scsi.one"});
  std::string batch = Record("wisp.scsi.one") + Record("wisp.net.a", {Str("x")}) +
                      Record("wisp.cpu.z") + Record("wisp.net.b");
  ASSERT_EQ(Dispatch(batch), 0);
  EXPECT_EQ(net.Rest(), (Ids{"wisp.net.a", "wisp.net.b"}));
  EXPECT_EQ(net2.Rest(), (Ids{"wisp.net.a", "wisp.net.b"}));
  EXPECT_EQ(user.Rest(), Ids{"wisp.scsi.one"});
}

// The dispatcher remembers which streams take an id: a stream that comes
// or goes must change where the next record of a known id goes.
TEST(StreamDispatch, RoutesAKnownIdAnewWhenStreamsComeAndGo) {
  Root root;
  std::string rec = Record("wisp.net.known");
  auto first = std::make_unique<OpenStream>(std::vector<const char *>{"net"});
  ASSERT_EQ(Dispatch(rec), 0);
  EXPECT_EQ(first->Rest(), Ids{"wisp.net.known"});
  OpenStream user({"user"}), second({"net"});
  ASSERT_EQ(Dispatch(rec), 0);
  EXPECT_EQ(first->Rest(), Ids{"wisp.net.known"});
  EXPECT_EQ(second.Rest(), Ids{"wisp.net.known"});
  first.reset();  // the others move up the registry
  ASSERT_EQ(Dispatch(rec + Record("wisp.user.u")), 0);
  EXPECT_EQ(second.Rest(), Ids{"wisp.net.known"});
  EXPECT_EQ(user.Rest(), Ids{"wisp.user.u"});
}

// More ids than the dispatcher remembers, and ids too long to remember,
// go where their filters say, each time.
TEST(StreamDispatch, RoutesEveryIdOfAnEndlessVarietyAndLongOnes) {
  Root root;
  const std::string longId = "wisp.net." + std::string(200, 'x');
  const std::string longExact = "wisp.cpu." + std::string(100, 'y') + "1";
  const std::string longOther = "wisp.cpu." + std::string(100, 'y') + "2";
  OpenStream net({"net"}), exact({}, {"wisp.cpu.7", longExact.c_str()});
  for (int round = 0; round < 2; ++round) {
    for (int part = 0; part < 4; ++part) {
      std::string batch;
      Ids wanted;
      for (int i = part * 300; i < part * 300 + 300; ++i) {
        std::string id = "wisp." + std::string(i % 2 ? "net" : "cpu") + "." + std::to_string(i);
        batch += Record(id);
        if (i % 2) wanted.push_back(id);
      }
      batch += Record(longId) + Record(longOther) + Record(longExact) + Record("wisp.cpu.7");
      wanted.push_back(longId);
      ASSERT_EQ(Dispatch(batch), 0);
      EXPECT_EQ(net.Rest(), wanted);
      EXPECT_EQ(exact.Rest(), (Ids{longExact, "wisp.cpu.7"}));
    }
  }
}

// A malformed record is skipped (TracesFirstAndFansOutOnlyRecordsThatBuild);
// lengths that do not add up end the batch.
TEST(StreamDispatch, StopsWhereLengthsDoNotAddUp) {
  Root root;
  LogCapture log(root);
  OpenStream net({"net"});
  std::string truncated = Record("wisp.net.one") + Record("wisp.net.two").substr(0, 40);
  ASSERT_EQ(Dispatch(truncated), 0);
  EXPECT_TRUE(log.WaitFor("Dropping the rest of a batch"));
  EXPECT_EQ(net.Rest(), Ids{"wisp.net.one"});
}

TEST(StreamRead, AssemblesARecordWrittenInParts) {
  OpenStream s({"net"});
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_GE(dup2(p[0], s.fd), 0);  // the stream now reads our pipe
  close(p[0]);
  std::string rec = Record("wisp.net.split", {Str("abc")});
  // Split inside the head, then inside the body: each part read leaves the
  // pipe empty, so the agent waits before it reads again.
  for (size_t at : {0, 20}) {
    ASSERT_EQ(write(p[1], rec.data() + at, 20), 20);
    EXPECT_EQ(s.Next(), "<partial>");
    EXPECT_TRUE(Stream_WaitFirst(s.stream));
  }
  ASSERT_EQ(write(p[1], rec.data() + 40, rec.size() - 40), static_cast<ssize_t>(rec.size() - 40));
  EXPECT_EQ(s.Next(), "wisp.net.split");
  close(p[1]);
}

// An agent reads before it polls only while a read may find something.
TEST(StreamRead, SaysWhenAReadWouldFindThePipeEmpty) {
  OpenStream s({"net"});
  EXPECT_FALSE(Stream_WaitFirst(s.stream));  // nothing read yet
  ASSERT_EQ(Dispatch(Record("wisp.net.a") + Record("wisp.net.b")), 0);
  EXPECT_EQ(s.Next(), "wisp.net.a");
  EXPECT_FALSE(Stream_WaitFirst(s.stream));  // b came with the same read
  EXPECT_EQ(s.Next(), "wisp.net.b");
  EXPECT_TRUE(Stream_WaitFirst(s.stream));  // the read emptied the pipe
}

TEST(StreamRead, TakesEveryRecordOfABatchAndOneLongerThanWhatOneReadTakes) {
  Root root;
  OpenStream s({"net"});
  std::string longArg(40000, 'l');
  std::string batch = Record("wisp.net.a") + Record("wisp.net.b", {Str("bb")}) +
                      Record("wisp.net.long", {Str(longArg)}) + Record("wisp.net.c");
  ASSERT_EQ(Dispatch(batch), 0);
  EXPECT_EQ(s.Next(), "wisp.net.a");
  EXPECT_EQ(s.Next(), "wisp.net.b");
  // Part of the long record is held, and the read filled all its room:
  // the pipe may hold the rest, so it is read before any poll.
  EXPECT_FALSE(Stream_WaitFirst(s.stream));
  Wisp *w = nullptr;
  bool complete = false;
  ASSERT_EQ(Stream_Read(s.stream, &w, &complete), 0);
  ASSERT_TRUE(complete);
  const char *id = nullptr;
  Wisp_GetID(w, &id);
  EXPECT_STREQ(id, "wisp.net.long");
  const char *arg = nullptr;
  ASSERT_EQ(Wisp_GetStringArg(w, 0, &arg), 0);
  EXPECT_EQ(std::string(arg), std::string(40000, 'l'));
  Wisp_Free(w);
  EXPECT_EQ(s.Rest(), Ids{"wisp.net.c"});
}

TEST(StreamClose, FreesADispatcherBlockedOnThePipe) {
  OpenStream *s = new OpenStream({"net"});
  std::string rec = Record("wisp.net.fill", {Str(std::string(4000, 'f'))});
  std::string batch;
  while (batch.size() < 200000) batch += rec;  // three times what a pipe holds
  std::atomic<int> rc{-1};
  std::thread dispatcher([&] { rc = Dispatch(batch); });
  // Blocked on the full pipe, holding the lock.
  EXPECT_TRUE(WaitUntil([&] {
    int unread = 0;
    return ioctl(s->fd, FIONREAD, &unread) == 0 && unread + rec.size() > 65536;
  }));
  EXPECT_EQ(rc.load(), -1);
  delete s;  // the agent leaves
  dispatcher.join();
  EXPECT_EQ(rc.load(), 0);
}

TEST(StreamDispatch, TracesARecordThatNoStreamAccepts) {
  Root root;
  EnsureRegistry();
  const std::string path = root.Under("/trace.sock");
  int listener = Trace_Listen(path.c_str());
  ASSERT_GE(listener, 0);
  ASSERT_EQ(Dispatch(Record("wisp.nobody.listens", {I32(7)})), 0);
  TraceClient client(listener, path);
  EXPECT_NE(client.ReadUntil(",IN,1733400000000000,wisp.nobody.listens,,7\n").find("nobody"),
            std::string::npos);
  close(listener);
}

// The trace sees a record before it is checked; only records that build
// into observations reach the streams.
TEST(StreamDispatch, TracesFirstAndFansOutOnlyRecordsThatBuild) {
  Root root;
  LogCapture log(root);
  OpenStream odd({"odd"});
  const std::string path = root.Under("/trace.sock");
  int listener = Trace_Listen(path.c_str());
  ASSERT_GE(listener, 0);
  TraceClient client(listener, path);
  std::string noNul = Record("wisp.odd.nonul", {I32(3)}, "n=%d");
  noNul[32 + 15 + 4] = '.';  // format text without its NUL
  std::string unknown = Record("wisp.odd.unknown", {I32(4), Int(9, 1)});
  std::string outside = Record("wisp.odd.outside", {Str("abc")});
  const size_t args = 32 + 17;
  uint64_t far = 0xfff0;
  memcpy(&outside[args + 8], &far, 8);  // the string lies past the record
  ASSERT_EQ(Dispatch(noNul + unknown + outside + Record("wisp.odd.last")), 0);

  std::string got = client.ReadUntil("wisp.odd.last,\n");
  EXPECT_NE(got.find(",IN,1733400000000000,wisp.odd.nonul,,3\n"), std::string::npos) << got;
  EXPECT_NE(got.find(",IN,1733400000000000,wisp.odd.unknown,,4,???\n"), std::string::npos) << got;
  EXPECT_EQ(got.find("wisp.odd.outside"), std::string::npos) << got;
  EXPECT_TRUE(log.WaitFor("Invalid argument in wisp with ID wisp.odd.outside"));
  EXPECT_TRUE(log.WaitForCount("Dropping malformed wisp", 2)) << log.Count("Dropping malformed");
  EXPECT_EQ(log.Count("Invalid argument in wisp"), 1u);

  EXPECT_EQ(odd.Rest(), (Ids{"wisp.odd.nonul", "wisp.odd.last"}));
  close(listener);
}

}  // namespace
