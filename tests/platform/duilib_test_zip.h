// Writes small skin archives for the window-library tests.
#pragma once
#include <zip.h>

#include <map>
#include <stdexcept>
#include <string>

namespace duilib_test {

// Creates (or replaces) a zip archive at hostPath holding the given files.
inline void WriteZip(const std::string& hostPath, const std::map<std::string, std::string>& files) {
  int error = 0;
  zip_t* zip = zip_open(hostPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!zip) throw std::runtime_error("zip_open failed");
  for (const auto& f : files) {
    zip_source_t* source = zip_source_buffer(zip, f.second.data(), f.second.size(), 0);
    if (!source || zip_file_add(zip, f.first.c_str(), source, ZIP_FL_OVERWRITE) < 0) {
      zip_source_free(source);
      zip_discard(zip);
      throw std::runtime_error("zip_file_add failed");
    }
  }
  if (zip_close(zip) != 0) throw std::runtime_error("zip_close failed");
}

}  // namespace duilib_test
