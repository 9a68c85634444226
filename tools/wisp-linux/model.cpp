#include "model.h"

namespace wisplinux {

std::string ModelText(const std::string &systemUuid, const nlohmann::json &advancedOptions,
                      const Inventory &inventory, const nlohmann::json &storage,
                      const nlohmann::json &fileSystems) {
  nlohmann::json model = nlohmann::json::object();
  if (!systemUuid.empty()) model["system"] = {{"uuid", systemUuid}};
  model["advanced_options"] = advancedOptions;
  // Listed even when empty: a NIC the model does not list cannot be taken down.
  model["nics"] = nlohmann::json::object();
  for (const std::string &nic : inventory.nics) model["nics"][nic] = nlohmann::json::object();
  model["port_groups"] = nlohmann::json::object();
  for (const auto &pg : inventory.portGroups)
    model["port_groups"][pg.first] = {{"switch", pg.second}};
  model["storage"] = storage;
  model["file_systems"] = fileSystems;
  // Mount points are the system's own text: a byte that is no UTF-8 is
  // replaced rather than stopping the model.
  return model.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace wisplinux
