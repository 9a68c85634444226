// A corrected machine-check log through the CPU correlator: the first 64
// bytes are its eight arguments; a whole raw record is dispatched as it is.
// Runs against a private root whose host is an Intel machine with offlining
// and page retirement enabled, so every step is reached.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "intake/wispdCorrelatorDef.h"
#include "pellibs/msgfmt.h"
#include "pellibs/wisp.h"
#include "wispjson.h"

extern const CorrelatorDef kCpuCorrelator;

namespace {

// The private root, removed again when the process ends.
struct PrivateRoot {
  std::string dir;
  ~PrivateRoot() {
    for (const char *f : {"/etc/pelldan/simhost.json", "/var/log/pelldan/simhost-actions.jsonl"})
      unlink((dir + f).c_str());
    for (const char *d : {"/var/log/pelldan", "/var/log", "/var", "/etc/pelldan", "/etc", ""})
      rmdir((dir + d).c_str());
  }
};

const WispHandlerTable &Table() {
  static WispHandlerTable *table = [] {
    char dir[] = "/tmp/fuzz_mce.XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    static PrivateRoot root{dir};
    setenv("WISPD_ROOT", dir, 1);
    for (const char *sub : {"/etc", "/etc/pelldan", "/var", "/var/log", "/var/log/pelldan"})
      mkdir((std::string(dir) + sub).c_str(), 0700);
    std::ofstream(std::string(dir) + "/etc/pelldan/simhost.json")
        << R"({"cpu": {"cores": 2, "pcpus": 4, "vendor": "GenuineIntel", "offline_enabled": 1},
              "advanced_options": {"Cpu": {"CPUOfflineThreshold": 2},
                                   "PageRetire": {"PageErrorCorrThreshold": 1}}})";
    auto *t = new WispHandlerTable;
    Correlator_BuildTable(kCpuCorrelator, t);
    kCpuCorrelator.reset();
    return t;
  }();
  return *table;
}

void Dispatch(const std::string &raw) {
  void *copy = malloc(raw.size());
  memcpy(copy, raw.data(), raw.size());
  Wisp *wisp = nullptr;
  Wisp_MakeWisp(copy, raw.size(), &wisp);
  if (wisp == nullptr) {
    free(copy);
    return;
  }
  Correlator_Dispatch(kCpuCorrelator.fallback, Table(), wisp);
  Wisp_Free(wisp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Table();
  std::string bytes(reinterpret_cast<const char *>(data), size);
  if (Wisp_CheckRaw(data, size, nullptr) == 0) {
    Dispatch(bytes);
    return 0;
  }
  bytes.resize(64, '\0');
  // Every eighth input lacks an argument, so the read fails. (Sized at once:
  // a pop_back() here makes GCC 12 at -O3 warn -Wfree-nonheap-object.)
  std::vector<tools::Arg> args(size % 8 == 7 ? 7 : 8);
  for (size_t i = 0; i < args.size(); ++i) {
    args[i].type = MSGFMT_UINT64;
    memcpy(&args[i].bits, bytes.data() + 8 * i, 8);
  }
  Dispatch(tools::BuildRawRecord("wisp.cpu.mce.log4", nullptr, args, 1733400000000000));
  return 0;
}
