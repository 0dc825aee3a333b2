#include "support/host_tree.h"

#include <filesystem>
#include <functional>

#include "support/temp_machine.h"

namespace testing_support {

std::string ShownContent(const std::string& content) {
  if (content.size() <= 64) return content;
  return std::to_string(content.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(content));
}

std::map<std::string, std::string> HostTree(const std::string& root) {
  std::map<std::string, std::string> tree;
  std::error_code ec;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root, ec)) {
    const std::string relative = std::filesystem::relative(entry.path(), root).string();
    if (entry.is_directory())
      tree[relative + "/"] = "";
    else
      tree[relative] = ShownContent(ReadHostFile(entry.path().string()));
  }
  return tree;
}

}  // namespace testing_support
