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
    "The store is only read, never created or changed.\n"
    "Exit status: 0 when a reason is recorded, 1 when none is (no store, no\n"
    "record, or a record without a readable reason), 2 on a usage error.\n";

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
  // Only ever read: a missing store is reported, never created.
  std::string path = pelldan::RootPath(pelldan::kConfigStore);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::cerr << "wisp-reason: no configuration store at " << path
              << ", so no reboot reason is recorded\n";
    return 1;
  }
  cs::Store *store = nullptr;
  cs::Object *object = nullptr;
  char *reason = nullptr;
  // The daemon's rule: a reason is recorded exactly when the store, the record
  // and its "reason" value can all be read.
  cs::CSErrorCodes rc = cs::GetStore(cs::CS_OPEN_READ_ONLY, &store);
  if (rc == cs::CSErrorCodes::CS_OK)
    rc = cs::Get(store, "reboot_reason", "mantle", "tarn", "", &object);
  if (rc == cs::CSErrorCodes::CS_OK) rc = cs::GetValueStr(object, "reason", &reason);
  int status = 0;
  if (rc != cs::CSErrorCodes::CS_OK) {
    if (rc != cs::CSErrorCodes::CS_ERR_NOT_FOUND)
      std::cerr << "wisp-reason: cannot read the reboot reason from " << path << ": "
                << cs::CSErrorMessage(rc) << "\n";
    std::cout << "No reboot reason is recorded.\n";
    status = 1;
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
  free(reason);
  if (object != nullptr) cs::DestroyConfigStoreObject(object);
  if (store != nullptr) cs::DestroyStore(store);
  return status;
}
