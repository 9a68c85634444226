// Host configuration store.
#pragma once

namespace TarnConfigStore {

enum class CSErrorCodes {
  CS_OK = 0,
  CS_ERR_UNAVAILABLE = 1,
  CS_ERR_NOT_FOUND = 2,
  CS_ERR_INVALID_ARG = 3,
  CS_ERR_NO_MEMORY = 4,
  CS_ERR_BAD_DOCUMENT = 5,
  CS_ERR_IO = 6,
};

const char *CSErrorMessage(CSErrorCodes code);

struct Store;
struct Object;

// flags 0 opens the store for reading and writing, creating it when missing;
// CS_OPEN_READ_ONLY opens an existing store only, and never changes it.
constexpr int CS_OPEN_READ_ONLY = 1;
CSErrorCodes GetStore(int flags, Store **store);
CSErrorCodes Get(Store *store, const char *type, const char *component, const char *group,
                 const char *instanceKey, Object **object);
// *value is malloc'd.
CSErrorCodes GetValueStr(const Object *object, const char *key, char **value);
CSErrorCodes CreateObject(const char *type, const char *component, const char *group,
                          const char *instanceKey, const char *json, Object **object);
CSErrorCodes SetValueStr(Object *object, const char *key, const char *value);
CSErrorCodes SetCachedData(Store *store, const Object *object);
void DestroyConfigStoreObject(Object *object);
void DestroyStore(Store *store);

}  // namespace TarnConfigStore
