// Little-endian fields of records that may sit at any alignment.
#pragma once

#include <stdint.h>
#include <string.h>

inline uint32_t Bytes_Load32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

inline uint64_t Bytes_Load64(const uint8_t *p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

inline void Bytes_Store32(uint8_t *p, uint32_t v) {
  memcpy(p, &v, sizeof v);
}
