// Must not compile: the row shows a string as a number.
#include "output/wispdFlareRow.h"

extern const FlareRow kBrokenRow;
const FlareRow kBrokenRow = WISPD_ROW("wisp.test.broken", "%p", FLARE_PROBLEM,
                                      "@&!*@*@(tarn.problem.test.broken)count %d", "0");
