// A small XML reader for skin layouts: elements, attributes, comments,
// the prolog and character references. Text content is ignored.
#pragma once
#include <memory>
#include <string>
#include <vector>

namespace DuiLib {

struct XmlNode {
  std::wstring name;
  std::vector<std::pair<std::wstring, std::wstring>> attributes;
  std::vector<std::unique_ptr<XmlNode>> children;
  int line = 0;

  const wchar_t* Attribute(const wchar_t* attributeName) const;
};

// Parses UTF-8 (with or without BOM) or UTF-16LE (with BOM) text. On failure
// returns null and describes the fault with its line in *error.
std::unique_ptr<XmlNode> ParseXml(const std::string& data, std::wstring* error);

}  // namespace DuiLib
