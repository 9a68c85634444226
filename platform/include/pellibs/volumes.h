// Kernel request on the host's volumes directory: which volume lives on a
// partition of a device.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum {
  VOLUMES_REQUEST_VOLUME_NAME = 0xBDE,
  VOLUMES_PARTITION_SIZE = 128,
  VOLUMES_NAME_SIZE = 256,
};

// 384 bytes: the partition in, the volume out, both NUL-terminated.
typedef struct VolumeNameRequest {
  char partition[VOLUMES_PARTITION_SIZE];  // "device:number"
  char volume[VOLUMES_NAME_SIZE];
} VolumeNameRequest;

// Issues request on fd, a descriptor of the volumes directory. 0 on success,
// else -1 with errno set (ENOENT: no volume on that partition).
int Volumes_Request(int fd, unsigned long request, void *arg);

#ifdef __cplusplus
}
#endif
