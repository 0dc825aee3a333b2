#include "internal/process_cmdline.h"

namespace win32 {

std::vector<std::wstring> SplitCommandLine(const std::wstring& parameters) {
  std::vector<std::wstring> args;
  std::wstring current;
  bool inArgument = false;
  bool quoted = false;
  size_t i = 0;
  const size_t n = parameters.size();
  while (i < n) {
    wchar_t c = parameters[i];
    if (!quoted && (c == L' ' || c == L'\t')) {
      if (inArgument) {
        args.push_back(current);
        current.clear();
        inArgument = false;
      }
      ++i;
      continue;
    }
    inArgument = true;
    if (c == L'\\') {
      size_t count = 0;
      while (i < n && parameters[i] == L'\\') {
        ++count;
        ++i;
      }
      if (i < n && parameters[i] == L'"') {
        current.append(count / 2, L'\\');
        if (count % 2 == 1) {
          current += L'"';
          ++i;
        }
        // An even count leaves the quote to group, below.
      } else {
        current.append(count, L'\\');
      }
      continue;
    }
    if (c == L'"') {
      if (quoted && i + 1 < n && parameters[i + 1] == L'"') {
        current += L'"';
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    current += c;
    ++i;
  }
  if (inArgument) args.push_back(current);
  return args;
}

}  // namespace win32
