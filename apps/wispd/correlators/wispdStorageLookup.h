// Storage questions several correlators ask the host: the datastores on a
// device, the device behind a path, a device's redundancy state, the
// datastore a file lives on; and reading an observation's arguments by its
// kernel message format. None keeps state; each asks the host afresh.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "pellibs/wisp.h"

// The datastores on device's partitions, each quoted, joined by ", ", in
// partition order, each once. false (and *list empty) when none is found or
// the lookup fails.
bool Storage_AffectedDatastores(const std::string &device, std::string *list);
// The list, or "Unknown" when there is none.
std::string Storage_DatastoresOrUnknown(const char *device);
// The device a path leads to; false when the host does not know the path.
bool Storage_DeviceOfPath(const std::string &path, std::string *device);
// A device's redundancy state; false when the host does not know the device.
bool Storage_RedundancyState(const std::string &device, uint32_t *state);
// The datastore component of a path under "/cairn/volumes/" when a mounted
// file system has it as volume name or UUID; else "(invalid)" or "(unknown)".
std::string Storage_VolumeName(const char *path);

// Derives from a printf message format the argument format that reads its
// conversions ("%s" as "%p"). 0, or 22 for a conversion it cannot translate.
int Storage_DeriveArgFormat(const char *message, char *out, size_t size);
// Reads the observation's arguments by the derived format: 0, 22 for an
// untranslatable format (outputs untouched) or the library's error code.
int Storage_ReadMessageArgs(const Wisp *wisp, const char *message, ...);
