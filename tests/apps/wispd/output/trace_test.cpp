// Trace lines, history and clients.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <memory>

#include "intake.h"
#include "output/wispdTraceHistory.h"
#include "records.h"
#include "sandbox.h"

using namespace testing_support;

namespace {

TEST(TraceLine, IsBuiltByteForByte) {
  tools::Arg odd = Int(5, 0);
  std::string args = tools::PackArgs({Str("a\"b"), I32(-1), Int(MSGFMT_UINT32, 4294967295u),
                                      Int(MSGFMT_INT64, static_cast<uint64_t>(-5)),
                                      Int(MSGFMT_UINT64, 18446744073709551615ull), NullStr(), odd});
  std::string line;
  struct timespec at = {1733400000, 5};
  ASSERT_TRUE(
      Trace_BuildLine(at, "IN", 42, "wisp.x", args.data(), 7, args.data() + args.size(), &line));
  EXPECT_EQ(line,
            "1733400000.000000005,IN,42,wisp.x,,\"a\"\"b\",-1,4294967295,-5,18446744073709551615,"
            "\"(null)\",???\n");
  ASSERT_TRUE(Trace_BuildLine(at, "OUT", 7, "tarn.audit.x", nullptr, 0, nullptr, &line));
  EXPECT_EQ(line, "1733400000.000000005,OUT,7,tarn.audit.x,\n");
  std::string extremes = tools::PackArgs(
      {Int(MSGFMT_INT64, 0x8000000000000000ull), Int(MSGFMT_INT32, 0x80000000u), I32(0)});
  at = {0, 999999999};
  ASSERT_TRUE(Trace_BuildLine(at, "IN", 0, "wisp.y", extremes.data(), 3,
                              extremes.data() + extremes.size(), &line));
  EXPECT_EQ(line, "0.999999999,IN,0,wisp.y,,-9223372036854775808,-2147483648,0\n");
  std::string quotes = tools::PackArgs({Str("\"\"pnic0\""), Str("\"")});
  ASSERT_TRUE(Trace_BuildLine(at, "IN", 0, "wisp.q", quotes.data(), 2,
                              quotes.data() + quotes.size(), &line));
  EXPECT_EQ(line, "0.999999999,IN,0,wisp.q,,\"\"\"\"\"pnic0\"\"\",\"\"\"\"\n");
  EXPECT_FALSE(Trace_BuildLine(at, "IN", 1, "wisp.x", args.data(), 7, args.data() + 40, &line));
}

// The history against a list of whole lines trimmed from the front, through
// many turns of its ring and lines cut at its end.
TEST(TraceHistory, HoldsTheNewestWholeLinesWithinItsLimit) {
  TraceHistory history(100);
  std::deque<std::string> lines;
  size_t held = 0;
  auto add = [&](const std::string &line) {
    history.Add(line);
    lines.push_back(line);
    held += line.size();
    while (held > 100) {
      held -= lines.front().size();
      lines.pop_front();
    }
    std::string want, got;
    for (const std::string &l : lines) want += l;
    history.Read([&got](std::string_view piece) { got += piece; });
    return got == want && history.Bytes() == want.size();
  };
  for (int i = 0; i < 300; ++i) {
    std::string line = "line " + std::to_string(i) + std::string(static_cast<size_t>(i % 37), 'x');
    ASSERT_TRUE(add(line + "\n")) << i;
  }
  ASSERT_TRUE(add(std::string(100, 'e')));  // exactly the limit: alone
  ASSERT_TRUE(add("\n"));                   // one byte over: the oldest goes
  ASSERT_TRUE(add(std::string(101, 'o')));  // over it: nothing is left
  EXPECT_EQ(history.Bytes(), 0u);
  ASSERT_TRUE(add("after\n"));
  TraceHistory none(0);
  none.Add("");
  none.Add("x\n");
  EXPECT_EQ(none.Bytes(), 0u);
}

TEST(TraceServer, LateClientGetsRecentHistoryThenAnEmptyLineThenLiveLines) {
  Root root;
  const std::string path = root.Under("/trace.sock");
  int listener = Trace_Listen(path.c_str());
  ASSERT_GE(listener, 0);
  std::string filler(190, 'h');
  std::string args = tools::PackArgs({Str(filler)});
  const int lines = 1100;  // about 230 KiB
  for (int i = 0; i < lines; ++i) {
    std::string id = "wisp.hist." + std::to_string(i);
    Trace_Emit("IN", static_cast<uint64_t>(i), id.c_str(), args.data(), 1,
               args.data() + args.size());
  }
  TraceClient client(listener, path);
  std::string got = client.ReadUntil("\n\n");
  size_t gap = got.find("\n\n");
  ASSERT_NE(gap, std::string::npos);
  EXPECT_LE(gap + 1, static_cast<size_t>(TRACE_HISTORY_MAX));
  EXPECT_GT(gap + 1, static_cast<size_t>(TRACE_HISTORY_MAX) - 300);
  EXPECT_NE(got.find("wisp.hist." + std::to_string(lines - 1) + ","), std::string::npos);
  EXPECT_EQ(got.find("wisp.hist.0,"), std::string::npos);
  Trace_Emit("OUT", 1, "tarn.live", nullptr, 0, nullptr);
  EXPECT_NE(client.ReadUntil("tarn.live,\n").find("\n\n"), std::string::npos);
  close(listener);
}

TEST(TraceServer, ClientsThatLeaveOrStopReadingDoNotHoldUpOthers) {
  Root root;
  LogCapture log(root);
  const std::string path = root.Under("/trace.sock");
  int listener = Trace_Listen(path.c_str());
  ASSERT_GE(listener, 0);
  TraceClient reader(listener, path);
  {
    TraceClient leaver(listener, path);
    Trace_Emit("OUT", 1, "tarn.before.leaving", nullptr, 0, nullptr);
  }  // leaves with lines pending
  TraceClient stuck(listener, path);
  int small = 4096;
  setsockopt(stuck.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::string big(16384, 'b');
  std::string args = tools::PackArgs({Str(big)});
  const int lines = static_cast<int>(TRACE_PENDING_MAX / big.size()) + 200;
  for (int i = 0; i < lines; ++i) {  // more than a client may fall behind
    std::string id = "wisp.flood." + std::to_string(i);
    Trace_Emit("IN", 1, id.c_str(), args.data(), 1, args.data() + args.size());
    if (i % 100 == 99) {  // the reading client keeps pace
      reader.ReadUntil(id + ",");
      reader.Clear();
    }
  }
  Trace_Emit("OUT", 2, "tarn.after.flood", nullptr, 0, nullptr);
  EXPECT_NE(reader.ReadUntil("tarn.after.flood,\n").find("tarn.after.flood"), std::string::npos);
  EXPECT_TRUE(log.WaitFor("bytes behind; disconnecting it\n"));
  EXPECT_EQ(log.Count("bytes behind; disconnecting it\n"), 1u);
  close(listener);
}

}  // namespace

namespace {

TEST(TraceServer, ServesAtMostThirtyTwoClientsAtOnce) {
  Root root;
  LogCapture log(root);
  const std::string path = root.Under("/trace.sock");
  int listener = Trace_Listen(path.c_str());
  ASSERT_GE(listener, 0);
  std::vector<std::unique_ptr<TraceClient>> clients;
  for (int i = 0; i <= TRACE_CLIENTS_MAX; ++i)
    clients.push_back(std::make_unique<TraceClient>(listener, path));
  EXPECT_TRUE(log.WaitFor("Trace client refused: already serving 32 clients\n"));
  char byte;
  EXPECT_EQ(read(clients.back()->Fd(), &byte, 1), 0);  // closed at once
  clients.clear();                                     // the slots come free as the clients leave
  Trace_Emit("OUT", 1, "tarn.history", nullptr, 0, nullptr);
  EXPECT_TRUE(WaitUntil([&] {
    return TraceClient(listener, path).ReadUntil("\n\n", 100).find("\n\n") != std::string::npos;
  }));
  close(listener);
}

TEST(TraceServer, AClientPausingThroughABurstGetsEveryLine) {
  Root root;
  const std::string path = root.Under("/trace.sock");
  int listener = Trace_Listen(path.c_str());
  ASSERT_GE(listener, 0);
  TraceClient paused(listener, path);
  std::string args = tools::PackArgs({Str(std::string(230, 'p'))});
  const int lines = 30000;  // about 8 MB, read by nobody until the end
  for (int i = 0; i < lines; ++i) {
    std::string id = "wisp.burst." + std::to_string(i);
    Trace_Emit("IN", 1, id.c_str(), args.data(), 1, args.data() + args.size());
  }
  std::string got = paused.ReadUntil("wisp.burst." + std::to_string(lines - 1) + ",", 20000);
  size_t count = 0;
  for (size_t at = got.find(",wisp.burst."); at != std::string::npos;
       at = got.find(",wisp.burst.", at + 1))
    ++count;
  EXPECT_EQ(count, static_cast<size_t>(lines));
  close(listener);
}

}  // namespace
