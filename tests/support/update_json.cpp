#include "support/update_json.h"

namespace testing_support {

std::string UpdateJsonText(const std::string& versionCheckUrl, int updaterVersion, int mainVersion,
                           int deltaVersion) {
  auto package = [](const std::string& name, int version) {
    return "{\"packagename\": \"" + name + "\", \"version\": \"" + std::to_string(version) + "\"}";
  };
  return "{\n  \"updateurl\": \"" + versionCheckUrl + "\",\n  \"updateupdate\": " +
         package("korva_update", updaterVersion) + ",\n  \"updatekorva\": " + package("korva", mainVersion) +
         ",\n  \"updatekorvadelta\": " + package("korva_delta", deltaVersion) + "\n}\n";
}

}  // namespace testing_support
