// A host folder's entries, to tell whether a folder is as it was.
#pragma once
#include <map>
#include <string>

namespace testing_support {

// Every file and folder below root: relative path -> content, a folder as
// its name with "/" and empty content. A file longer than 64 bytes (a
// program) stands as its size and hash, so that differences stay readable.
std::map<std::string, std::string> HostTree(const std::string& root);

// How HostTree shows a file's content.
std::string ShownContent(const std::string& content);

}  // namespace testing_support
