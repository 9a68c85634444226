// Must not compile: the time-out's message has two arguments, not three.
#include "clear_table.h"

extern const wispalert::ClearRow kBrokenClearRow;
const wispalert::ClearRow kBrokenClearRow =
    WISP_ENDS("tarn.clear.storage.apd.exit", "tarn.problem.storage.apd.timeout", {0, 2});
