// Kernel sysinfo nodes and kernel status values.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t MANTLE_ReturnStatus;

enum {
  MANTLE_OK = 0,
  MANTLE_FAILURE = 0xbad0001,
  MANTLE_WOULD_BLOCK = 0xbad0002,
  MANTLE_NOT_FOUND = 0xbad0003,
  MANTLE_BUSY = 0xbad0004,
  MANTLE_EXISTS = 0xbad0005,
  MANTLE_LIMIT_EXCEEDED = 0xbad0006,
  MANTLE_BAD_PARAM = 0xbad0007,
  MANTLE_NO_PERMISSION = 0xbad000f,
  MANTLE_NO_MEMORY = 0xbad0014,
  MANTLE_NOT_SUPPORTED = 0xbad0020,
};

int MANTLE_ReturnStatusToErrno(MANTLE_ReturnStatus status);

typedef uint16_t Sysi_Node;
extern const Sysi_Node Sysi_NODE_config_intOpts;
extern const Sysi_Node Sysi_NODE_system_systemUuid;
extern const Sysi_Node Sysi_NODE_hardware_cpu_cpuInfo;
extern const Sysi_Node Sysi_NODE_hardware_cpu_cpuList;
extern const Sysi_Node Sysi_NODE_net_pNics_linkFlapping;
extern const Sysi_Node Sysi_NODE_sched_offline_enabled;
extern const Sysi_Node Sysi_NODE_sched_pcpus_offline;
extern const Sysi_Node Sysi_NODE_system_ntpclock_wispReportInterval;
extern const Sysi_Node Sysi_NODE_system_pageRetire_MPNStatus;
extern const Sysi_Node Sysi_NODE_system_pageRetire_retireMPNs;
extern const Sysi_Node Sysi_NODE_system_pageRetire_threshold;
extern const Sysi_Node Sysi_NODE_vm_vmmGroupInfo;

// Size of the host UUID value and of a config_intOpts reply.
enum { SYSI_UUID_SIZE = 56, SYSI_INTOPT_REPLY_SIZE = 552, SYSI_VMM_GROUP_INFO_SIZE = 3396 };

typedef struct Sysi_ParamList Sysi_ParamList;

// NULL when memory runs out.
Sysi_ParamList *Sysi_ParamListCreate(void);
MANTLE_ReturnStatus Sysi_ParamListAddString(Sysi_ParamList *list, const char *value);
MANTLE_ReturnStatus Sysi_ParamListAddInt(Sysi_ParamList *list, int64_t value);
int Sysi_ParamListNumInstances(const Sysi_ParamList *list);
void Sysi_ParamListRemoveLastParam(Sysi_ParamList *list);
void Sysi_ParamListDestroy(Sysi_ParamList *list);

MANTLE_ReturnStatus Sysi_Get(Sysi_Node node, const Sysi_ParamList *instance, void *out,
                             size_t size);
MANTLE_ReturnStatus Sysi_Set(Sysi_Node node, const Sysi_ParamList *instance,
                             const Sysi_ParamList *input, void *out, size_t size);

// Non-zero when the running kernel's sysinfo signature differs from ours;
// kernelDate receives the kernel's build date, *ownDate ours.
int Sysi_CheckSig(char *kernelDate, size_t size, const char **ownDate);

#ifdef __cplusplus
}
#endif
