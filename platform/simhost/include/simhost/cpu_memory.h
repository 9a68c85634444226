// Processor and memory nodes of the simulated kernel: the CPU records,
// offlining, page status and retirement, the page-selection threshold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "pellibs/sysinfo.h"

namespace simhost {

// Each returns true when it answers node, with the status in *status.
bool CpuMemoryGet(Sysi_Node node, const Sysi_ParamList *instance, void *out, size_t size,
                  MANTLE_ReturnStatus *status);
bool CpuMemorySet(Sysi_Node node, const Sysi_ParamList *instance, const Sysi_ParamList *input,
                  void *out, size_t size, MANTLE_ReturnStatus *status);

// Options every kernel has, for a model that leaves them out.
std::optional<int64_t> KernelDefaultOption(const std::string &group, const std::string &name);

}  // namespace simhost
