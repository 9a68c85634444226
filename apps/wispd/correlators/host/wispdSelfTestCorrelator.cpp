// Self-test correlator: checks the observation path against the fixed run
// of test observations a host test tool emits, exercises flare posting at
// its limits, prints its findings and ends the process with the failure
// count.

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "base/wispdLog.h"
#include "base/wispdTimer.h"
#include "intake/wispdCorrelatorDef.h"

namespace {

const char *const kGroups[] = {"tests", nullptr};

struct Expected {
  const char *id;
  const char *message;
  int strings;
  int ints;
};

const Expected kExpected[] = {
    {"wisp.tests.async.noData", "this is an observation with no data", 0, 0},
    {"wisp.tests.async.withPath",
     "this is an observation with a complicated /a/fake/path${path} path.", 1, 0},
    {"wisp.tests.async.withLog", "this is an ob with an associated Log message.", 0, 0},
    {"wisp.tests.async.withWarn", "this is an ob with an associated Warn message.", 0, 0},
    {"wisp.tests.async.withIntParams",
     "this is an observation with integer parameters. -559038737, deadbeef, -2401053088876216593",
     0, 3},
    {"wisp.tests.async.withUintParams",
     "this is an observation with unsigned integer parameters. 3735928559, deadbeef, "
     "16045690984833335023",
     0, 3},
    {"wisp.tests.async.withStringParams",
     "this is an observation with a string parameter: some string", 1, 0},
    {"wisp.tests.async.withLongStringParam",
     "this is an observation with a string parameter: some looong long long long long long string",
     1, 0},
    {"wisp.tests.async.withLongStringParams",
     "this is an observation with a string parameter: some looong long long long long long string "
     "and another: some string",
     2, 0},
    {"wisp.tests.corrupt.format.empty", "", 0, 0},
    {"wisp.tests.corrupt.format.doublepercent", "%", 0, 0},
    {"wisp.tests.corrupt.format.s.zeros", "", 1, 0},
    {"wisp.tests.corrupt.format.s.zero3", "000", 1, 0},
    {"wisp.tests.corrupt.format.tag.invalid1", "0${", 0, 1},
    {"wisp.tests.corrupt.format.tag.invalid2", "0${asdf", 0, 1},
    {"wisp.tests.corrupt.format.tag.nestedInval", "0${a0{df}", 0, 2},
    {"wisp.tests.corrupt.format.tag.ugly", "0${009__.asdf}", 0, 1},
    {"wisp.tests.corrupt.format.tag.vugly", "0${009__.asdf=bar=baz=foof}", 0, 1},
    {"wisp.tests.corrupt.format.tag.assign.inval", "0${=invalid}", 0, 1},
    {"wisp.tests.corrupt.format.tag.notreally", "%${ignore}", 0, 0},
    {"wisp.tests.corrupt.format.tag.notreally2", "%${=ignore}", 0, 0},
};
constexpr size_t kExpectedCount = sizeof kExpected / sizeof kExpected[0];
static_assert(kExpectedCount == 21, "the test tool sends 21 observations");

const char kStart[] = "wisp.tests.marker.start";
const char kEnd[] = "wisp.tests.marker.end";
const char kCorruptStart[] = "wisp.tests.marker.corruptions.start";
const char kCorruptEnd[] = "wisp.tests.marker.corruptions.end";

enum : unsigned { kAlarmSeconds = 5 };
constexpr int kMaxStatus = 255;
constexpr size_t kHugeSize = 10485760;

struct State {
  int failures = 0;
  bool started = false;
  unsigned received = 0;
  bool corruptWindow = false;
  bool flareTestsDone = false;
  int alarm = -1;
};

State gState;
// The time-out runs on the timer thread.
std::mutex gLock;

void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vprintf(format, ap);
  va_end(ap);
  fflush(stdout);
}

// A process status holds only 0-255: any count of failures above that still
// ends the run with a failure, never with 0.
[[noreturn]] void Finish(int failures) {
  fflush(stdout);
  Log_Release();
  Log_Flush();  // _exit skips the exit's wait for records still queued
  // Other agents still run: end without running destructors under them.
  _exit(failures > kMaxStatus ? kMaxStatus : failures);
}

// A string of kHugeSize - 1 letters x, or NULL.
char *HugeString() {
  char *s = static_cast<char *>(malloc(kHugeSize));
  if (s == nullptr) {
    Say("FAIL: Unable to allocate %zu bytes for 'hugestr'\n", kHugeSize);
    ++gState.failures;
    return nullptr;
  }
  memset(s, 'x', kHugeSize - 1);
  s[kHugeSize - 1] = '\0';
  return s;
}

void FlareTests() {
  Say("INFO: Testing Flare_PostProblem.\n");
  Flare_PostProblem("@&!*@*@(tarn.problem.wispdtestcorrelator.test.0)No args");
  Flare_PostProblem("@&!*@*@(tarn.problem.wispdtestcorrelator.test.1d)%d args", 1);
  Flare_PostProblem("@&!*@*@(tarn.problem.wispdtestcorrelator.test.1s)%s args", "one");
  if (char *huge = HugeString()) {
    Flare_PostProblem("@&!*@*@(tarn.problem.wispdtestcorrelator.test.hugestr)Huge string %s", huge);
    free(huge);
  }
  if (char *huge = HugeString()) {
    Wispd_PostProblem(huge, "Huge ID");
    free(huge);
  }
  Say("INFO: Testing Flare_PostAudit.\n");
  Flare_PostAudit("@&!*@*@(tarn.audit.wispdtestcorrelator.test)%s (%d) args", "Two", 2);
  Say("INFO: Testing Flare_PostClear.\n");
  Flare_PostClear("@&!*@*@(tarn.clear.wispdtestcorrelator.test)%s (%d) %ss", "Three", 3, "arg");
  Say("INFO: Flare tests completed\n");
}

void OnTimeout() {
  std::lock_guard<std::mutex> lock(gLock);
  Say("FAIL: Timeout.  Waited %u seconds, but got no wisps.\n", kAlarmSeconds);
  Finish(gState.failures + 1);
}

void Arm() {
  Timer_Set(gState.alarm, TIMER_ONESHOT, kAlarmSeconds, nullptr);
}

// 1 when a read failed, else 0 after its PASS line.
int ReadFailed(const char *id, int rc) {
  if (rc == 0) return 0;
  Say("FAIL: Wisp_GetArgs failed for WISP %s: %s\n", id, strerror(rc));
  return 1;
}

// Row-specific argument reads; returns the errors.
int CheckArgs(unsigned row, const Wisp *wisp, const char *id) {
  int errors = 0;
  if (row == 4 || row == 5) {
    int d = 0;
    unsigned x = 0;
    long l = 0;
    int rc = row == 4 ? Wisp_GetArgs(wisp, 0, "%d %x %ld", &d, &x, &l)
                      : Wisp_GetArgs(wisp, 0, "%u %x %lu", &d, &x, &l);
    errors += ReadFailed(id, rc);
    if (rc == 0) Say("PASS: Wisp_GetArgs succeeded for WISP %s. Args: %d, %x, %ld\n", id, d, x, l);
    if (row == 4) {
      rc = Wisp_GetArgs(wisp, 0, "%10d %10x %10ld", &d, &x, &l);
      errors += ReadFailed(id, rc);
      if (rc == 0)
        Say("PASS: Wisp_GetArgs (with field width specifiers) succeeded for WISP %s. Args: %d, "
            "%x, %ld\n",
            id, d, x, l);
    }
  } else if (row == 6 || row == 7) {
    const char *s = nullptr;
    int rc = Wisp_GetArgs(wisp, 0, "%p", &s);
    errors += ReadFailed(id, rc);
    if (rc == 0) Say("PASS: Wisp_GetArgs succeeded for WISP %s. Args: %s\n", id, s ? s : "(null)");
  } else if (row == 8) {
    const char *a = nullptr, *b = nullptr;
    int rc = Wisp_GetArgs(wisp, 0, "%p", &a);
    errors += ReadFailed(id, rc);
    int rc2 = Wisp_GetArgs(wisp, 1, "%p", &b);
    errors += ReadFailed(id, rc2);
    if (rc == 0 && rc2 == 0)
      Say("PASS: Wisp_GetArgs succeeded for WISP %s. Args: %s, %s\n", id, a ? a : "(null)",
          b ? b : "(null)");
  }
  return errors;
}

void CheckRow(const Wisp *wisp, const char *id) {
  unsigned i = gState.received;
  const Expected &want = kExpected[i];
  int errors = 0;
  char *msg = nullptr;
  if (id == nullptr) {
    Say("FAIL: Received NULL wispID\n");
    ++errors;
  } else if (Wisp_GetMsg(wisp, &msg, nullptr) != 0 || msg == nullptr) {
    Say("FAIL: Received NULL wispMsg for wispID = '%s'\n", id);
    ++errors;
  } else {
    if (strcmp(id, want.id) != 0) {
      Say("FAIL: Expected wispId = '%s'; Got '%s'\n", want.id, id);
      ++errors;
    }
    if (strcmp(msg, want.message) != 0) {
      Say("FAIL: Expected msg = '%s'; Got '%s'\n", want.message, msg);
      ++errors;
    }
    const char *s = nullptr;
    int64_t v = 0;
    if (want.strings == 0) {
      int rc = Wisp_GetStringArg(wisp, 0, &s);
      if (rc == 0) {
        Say("FAIL: Wisp_GetStringArg (%s) failed: %d!\n", id, rc);
        ++errors;
      }
    }
    for (int k = 0; k < want.strings; ++k) {
      int rc = Wisp_GetStringArg(wisp, static_cast<unsigned>(k), &s);
      if (rc != 0) {
        Say("FAIL: Wisp_GetStringArg returned %d @ i = %d\n", rc, k);
        ++errors;
      }
    }
    if (want.ints == 0) {
      int rc = Wisp_GetIntArg(wisp, 0, &v);
      if (rc == 0) {
        Say("FAIL: Wisp_GetIntArg(%s) failed: %d\n", id, rc);
        ++errors;
      }
    }
    for (int k = 0; k < want.ints; ++k) {
      int rc = Wisp_GetIntArg(wisp, static_cast<unsigned>(k), &v);
      if (rc != 0) {
        Say("FAIL: Wisp_GetIntArg returned %d @ i = %d\n", rc, k);
        ++errors;
      }
    }
    errors += CheckArgs(i, wisp, id);
  }
  free(msg);
  if (errors == 0) {
    Say("PASS: [%u]: %s\n", i, id);
  } else {
    gState.failures += errors;
  }
  ++gState.received;
}

void OnTest(const Wisp *wisp) {
  std::lock_guard<std::mutex> lock(gLock);
  if (!gState.flareTestsDone) {
    gState.flareTestsDone = true;
    FlareTests();
  }
  const char *id = nullptr;
  Wisp_GetID(wisp, &id);
  Say("INFO: Got wisp: %s\n", id != nullptr ? id : "(null)");
  if (gState.alarm != -1) Timer_Set(gState.alarm, TIMER_ONESHOT, 0, nullptr);
  if (id != nullptr && strcmp(id, kStart) == 0) {
    if (gState.started) {
      Say("FAILURE: Duplicate test start wisps?!");
      ++gState.failures;
    } else {
      Say("INFO: Received 'test start' wisp: %s\n", id);
      gState.received = 0;
      gState.started = true;
    }
    gState.alarm = Timer_Create(OnTimeout);
    if (gState.alarm == -1) {
      Say("FAIL: Failed to set alarm handler\n");
      Finish(gState.failures + 1);
    }
    Say("INFO: Alarm handler ready\n");
    Arm();
    return;
  }
  if (id != nullptr && strcmp(id, kEnd) == 0) {
    if (!gState.started) Say("FAILURE: Received END without matching start!");
    gState.started = false;
    if (gState.received == kExpectedCount) {
      Say("INFO: Tests completed. Failures = %d\n", gState.failures);
    } else {
      Say("FAIL: No. of tests = %zu, but received only %u wisps.\n", kExpectedCount,
          gState.received);
      ++gState.failures;
      Say("INFO: Tests completed. Failures = %d\n", gState.failures);
    }
    Finish(gState.failures);
  }
  if (id != nullptr && strcmp(id, kCorruptStart) == 0) {
    Say("INFO: Start corrupt WISPs window.\n");
    gState.corruptWindow = true;
    return;
  }
  if (id != nullptr && strcmp(id, kCorruptEnd) == 0) {
    Say("INFO: End corrupt WISPs window.\n");
    gState.corruptWindow = false;
    return;
  }
  if (!gState.started) {
    Say("WARNING: received wisp %s before test 'START' wisp. (Ignoring.)",
        id != nullptr ? id : "(null)");
    return;
  }
  if (gState.received > kExpectedCount - 1) {
    Say("FAIL: More WISPs receieved than expected! wispId = '%s'.  Did more get added to the "
        "testworld?\n",
        id != nullptr ? id : "(null)");
    Finish(gState.failures + 1);
  }
  if (gState.corruptWindow) {
    Say("FAIL: Wisp %s received, but should get nothing during the corrupt wisp window.  "
        "Dropping.\n",
        id != nullptr ? id : "(null)");
    ++gState.failures;
  } else {
    CheckRow(wisp, id);
  }
  Arm();
}

void Reset() {
  std::lock_guard<std::mutex> lock(gLock);
  gState = State();
}

}  // namespace

extern const CorrelatorDef kSelfTestCorrelator = {
    .name = "WispdTest",
    .groups = kGroups,
    .fallback = OnTest,
    .reset = Reset,
};
