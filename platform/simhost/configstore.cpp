// Configuration store: objects are JSON documents in one SQLite table, keyed
// by (type, component, group, instance key).
#include "configstore/configstore.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "simhost/hostmodel.h"
#include "simhost/json_release.h"

namespace TarnConfigStore {

struct Store {
  sqlite3 *db;
};

struct Object {
  std::string type, component, group, key;
  simhost::Json doc;
  ~Object() { simhost::EmptyForRelease(doc); }
};

namespace {

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS objects (type TEXT NOT NULL, component TEXT NOT NULL, "
    "grp TEXT NOT NULL, ikey TEXT NOT NULL, doc TEXT NOT NULL, "
    "PRIMARY KEY (type, component, grp, ikey))";

bool Bind(sqlite3_stmt *st, const char *type, const char *component, const char *group,
          const char *key) {
  const char *vals[] = {type, component, group, key};
  for (int i = 0; i < 4; ++i) {
    if (vals[i] == nullptr ||
        sqlite3_bind_text(st, i + 1, vals[i], -1, SQLITE_TRANSIENT) != SQLITE_OK)
      return false;
  }
  return true;
}

}  // namespace

const char *CSErrorMessage(CSErrorCodes code) {
  switch (code) {
    case CSErrorCodes::CS_OK:
      return "Success";
    case CSErrorCodes::CS_ERR_UNAVAILABLE:
      return "Configuration store is not available";
    case CSErrorCodes::CS_ERR_NOT_FOUND:
      return "Object or key not found";
    case CSErrorCodes::CS_ERR_INVALID_ARG:
      return "Invalid argument";
    case CSErrorCodes::CS_ERR_NO_MEMORY:
      return "Out of memory";
    case CSErrorCodes::CS_ERR_BAD_DOCUMENT:
      return "Document is not a JSON object";
    case CSErrorCodes::CS_ERR_IO:
      return "Configuration store I/O error";
  }
  return "Unknown error";
}

CSErrorCodes GetStore(int flags, Store **store) {
  if (store == nullptr || (flags != 0 && flags != CS_OPEN_READ_ONLY))
    return CSErrorCodes::CS_ERR_INVALID_ARG;
  *store = nullptr;
  if (simhost::Failure("ConfigStore")) return CSErrorCodes::CS_ERR_UNAVAILABLE;
  std::string path = pelldan::RootPath(pelldan::kConfigStore);
  bool readOnly = flags == CS_OPEN_READ_ONLY;
  int mode = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, mode | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK ||
      sqlite3_busy_timeout(db, 2000) != SQLITE_OK ||
      (!readOnly && sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK)) {
    sqlite3_close(db);
    return CSErrorCodes::CS_ERR_UNAVAILABLE;
  }
  Store *s = new (std::nothrow) Store{db};
  if (s == nullptr) {
    sqlite3_close(db);
    return CSErrorCodes::CS_ERR_NO_MEMORY;
  }
  *store = s;
  return CSErrorCodes::CS_OK;
}

CSErrorCodes Get(Store *store, const char *type, const char *component, const char *group,
                 const char *instanceKey, Object **object) {
  if (store == nullptr || object == nullptr) return CSErrorCodes::CS_ERR_INVALID_ARG;
  *object = nullptr;
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(store->db,
                         "SELECT doc FROM objects WHERE type=?1 AND component=?2 AND grp=?3 "
                         "AND ikey=?4",
                         -1, &st, nullptr) != SQLITE_OK)
    return CSErrorCodes::CS_ERR_IO;
  CSErrorCodes rc = CSErrorCodes::CS_ERR_NOT_FOUND;
  if (!Bind(st, type, component, group, instanceKey)) {
    rc = CSErrorCodes::CS_ERR_INVALID_ARG;
  } else if (sqlite3_step(st) == SQLITE_ROW) {
    const unsigned char *text = sqlite3_column_text(st, 0);
    simhost::Releasing<simhost::Json> parsed(simhost::Json::parse(
        text != nullptr ? reinterpret_cast<const char *>(text) : "", nullptr, false));
    simhost::Json &doc = *parsed;
    if (doc.is_discarded() || !doc.is_object()) {
      rc = CSErrorCodes::CS_ERR_BAD_DOCUMENT;
    } else {
      *object = new (std::nothrow) Object{type, component, group, instanceKey, std::move(doc)};
      rc = *object != nullptr ? CSErrorCodes::CS_OK : CSErrorCodes::CS_ERR_NO_MEMORY;
    }
  }
  sqlite3_finalize(st);
  return rc;
}

CSErrorCodes GetValueStr(const Object *object, const char *key, char **value) {
  if (object == nullptr || key == nullptr || value == nullptr)
    return CSErrorCodes::CS_ERR_INVALID_ARG;
  auto it = object->doc.find(key);
  if (it == object->doc.end() || !it->is_string()) return CSErrorCodes::CS_ERR_NOT_FOUND;
  const std::string &text = it->get_ref<const std::string &>();
  char *out = static_cast<char *>(std::malloc(text.size() + 1));
  if (out == nullptr) return CSErrorCodes::CS_ERR_NO_MEMORY;
  std::memcpy(out, text.c_str(), text.size() + 1);
  *value = out;
  return CSErrorCodes::CS_OK;
}

CSErrorCodes CreateObject(const char *type, const char *component, const char *group,
                          const char *instanceKey, const char *json, Object **object) {
  if (object == nullptr || type == nullptr || component == nullptr || group == nullptr ||
      instanceKey == nullptr || json == nullptr)
    return CSErrorCodes::CS_ERR_INVALID_ARG;
  *object = nullptr;
  simhost::Releasing<simhost::Json> parsed(simhost::Json::parse(json, nullptr, false));
  simhost::Json &doc = *parsed;
  if (doc.is_discarded() || !doc.is_object()) return CSErrorCodes::CS_ERR_BAD_DOCUMENT;
  *object = new (std::nothrow) Object{type, component, group, instanceKey, std::move(doc)};
  return *object != nullptr ? CSErrorCodes::CS_OK : CSErrorCodes::CS_ERR_NO_MEMORY;
}

CSErrorCodes SetValueStr(Object *object, const char *key, const char *value) {
  if (object == nullptr || key == nullptr || value == nullptr)
    return CSErrorCodes::CS_ERR_INVALID_ARG;
  object->doc[key] = value;
  return CSErrorCodes::CS_OK;
}

CSErrorCodes SetCachedData(Store *store, const Object *object) {
  if (store == nullptr || object == nullptr) return CSErrorCodes::CS_ERR_INVALID_ARG;
  std::string doc = object->doc.dump(-1, ' ', false, simhost::Json::error_handler_t::replace);
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(store->db,
                         "INSERT OR REPLACE INTO objects (type, component, grp, ikey, doc) "
                         "VALUES (?1, ?2, ?3, ?4, ?5)",
                         -1, &st, nullptr) != SQLITE_OK)
    return CSErrorCodes::CS_ERR_IO;
  CSErrorCodes rc = CSErrorCodes::CS_ERR_IO;
  if (Bind(st, object->type.c_str(), object->component.c_str(), object->group.c_str(),
           object->key.c_str()) &&
      sqlite3_bind_text(st, 5, doc.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_DONE)
    rc = CSErrorCodes::CS_OK;
  sqlite3_finalize(st);
  return rc;
}

void DestroyConfigStoreObject(Object *object) {
  delete object;
}

void DestroyStore(Store *store) {
  if (store == nullptr) return;
  sqlite3_close(store->db);
  delete store;
}

}  // namespace TarnConfigStore
