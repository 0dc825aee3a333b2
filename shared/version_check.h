// Asks the update service whether a package has a newer version.
#pragma once
#include <windows.h>

#include <string>

struct UpdateInfo {
  std::wstring versionName;
  INT32 versionCode = 0;
  std::wstring downloadUrl;
  std::wstring text;
  INT64 size = 0;
  std::wstring md5;  // as the service sends it
};

// Signed GET of <baseUrl>?channel=portal&packageName=<name>&versionCode=<code>.
// Returns -1 for every failure (transport, unparsable or mistyped reply, or the
// service's own -1), otherwise the reply's "code" (2 = a newer version exists).
int CheckVersion(const std::wstring& baseUrl, const std::wstring& packageName,
                 const std::wstring& versionCode, UpdateInfo& out);
