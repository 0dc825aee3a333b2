// A small ini file kept in memory: sections of "key=value" entries in file
// order, keys and values stored as UTF-8.
#pragma once
#include <list>
#include <string>

#include <boost/property_tree/ptree.hpp>

class IniFile {
 public:
  // Loads the file; on any failure the tree stays as it was.
  bool Read(const std::wstring& path);
  // Saves the tree, creating the file's directory when it is missing.
  bool Write(const std::wstring& path);

  // The section that SetValue writes into.
  void SetSection(const std::wstring& section) { section_ = section; }
  const std::wstring& Section() const { return section_; }

  // Sets one entry of the own section in memory; an existing entry keeps
  // its place, a new one goes to the end of its section.
  void SetValue(const std::wstring& key, const std::wstring& value);
  // "key=value" for every entry of the section, in order.
  std::list<std::wstring> GetSection(const std::wstring& section) const;

 private:
  std::wstring section_;
  boost::property_tree::ptree tree_;
};
