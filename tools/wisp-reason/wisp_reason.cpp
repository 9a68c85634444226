// wisp-reason: prints the reboot or power-off reason the daemon recorded in
// the configuration store, what an administrator looks for after a reboot.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <iostream>
#include <string>

#include "../common/cli.h"
#include "configstore/configstore.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"

namespace cs = TarnConfigStore;

namespace {

const char kUsage[] =
    "Usage: wisp-reason [--help] [--version]\n"
    "Prints the reboot or power-off reason recorded in the configuration store:\n"
    "type, user, subsystem, time stamp and reason, one per line.\n"
    "Exit status: 0 when a reason is recorded, 1 when none is, 2 on an error.\n";

// Fields of the record, in the order they are written.
const char *const kKeys[] = {"type", "user", "subsystem", "timestamp", "reason"};

}  // namespace

int main(int argc, char **argv) {
  tools::CheckOutputAtExit("wisp-reason");
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      std::cout << kUsage;
      return 0;
    }
    if (strcmp(argv[i], "--version") == 0) {
      std::cout << tools::VersionLine("wisp-reason") << "\n";
      return 0;
    }
    std::cerr << "wisp-reason: unknown argument '" << argv[i] << "'\n" << kUsage;
    return 2;
  }
  tools::RequireRoot("wisp-reason");
  // Opening the store would create it: look first.
  std::string path = pelldan::RootPath(pelldan::kConfigStore);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::cerr << "wisp-reason: no configuration store at " << path << "\n";
    return 2;
  }
  cs::Store *store = nullptr;
  cs::CSErrorCodes rc = cs::GetStore(0, &store);
  if (rc != cs::CSErrorCodes::CS_OK) {
    std::cerr << "wisp-reason: cannot open the configuration store at " << path << ": "
              << cs::CSErrorMessage(rc) << "\n";
    return 2;
  }
  cs::Object *object = nullptr;
  rc = cs::Get(store, "reboot_reason", "mantle", "tarn", "", &object);
  int status = 0;
  if (rc == cs::CSErrorCodes::CS_ERR_NOT_FOUND) {
    std::cout << "No reboot reason is recorded.\n";
    status = 1;
  } else if (rc != cs::CSErrorCodes::CS_OK) {
    std::cerr << "wisp-reason: cannot read the reboot reason: " << cs::CSErrorMessage(rc) << "\n";
    status = 2;
  } else {
    for (const char *key : kKeys) {
      char *value = nullptr;
      if (cs::GetValueStr(object, key, &value) == cs::CSErrorCodes::CS_OK) {
        std::cout << key << ": " << value << "\n";
        free(value);
      } else {
        std::cout << key << ": (not recorded)\n";
      }
    }
  }
  if (object != nullptr) cs::DestroyConfigStoreObject(object);
  cs::DestroyStore(store);
  return status;
}
