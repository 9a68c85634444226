// Must not compile: one faulty row for each problem the row check knows.
#include "output/wispdFlareRow.h"

extern const FlareRow kBrokenRows[];
const FlareRow kBrokenRows[] = {
    WISPD_ROW("wisp.test.broken.marker", "%p", FLARE_PROBLEM, "tarn.problem.test.broken)disk %s",
              "0"),
    WISPD_ROW("wisp.test.broken.kind", "%p", FLARE_CLEAR,
              "@&!*@*@(tarn.problem.test.broken)disk %s", "0"),
    WISPD_ROW("wisp.test.broken.read", "%p %f", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.test.broken)disk %s", "0"),
    WISPD_ROW("wisp.test.broken.length", "%p %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.test.broken)disk %s has %d errors", "0"),
    WISPD_ROW("wisp.test.broken.range", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.test.broken)disk %s has %d errors", "01"),
    WISPD_ROW("wisp.test.broken.type", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.test.broken)count %d", "0"),
    WISPD_ROW("wisp.test.broken.many", "%d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d",
              FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.test.broken)%d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d",
              "0123456789abcdef0"),
};
