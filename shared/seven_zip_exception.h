// The one way in which the archive layer reports a failure. Thrown by value;
// callers read `message`.
#pragma once
#include <string>

namespace SevenZip {

class SevenZipException {
 public:
  explicit SevenZipException(std::wstring text) : message(std::move(text)) {}
  virtual ~SevenZipException() = default;
  SevenZipException(const SevenZipException&) = default;
  SevenZipException& operator=(const SevenZipException&) = default;

  std::wstring message;
};

}  // namespace SevenZip
