#include "installer/install_record.h"

#include <boost/algorithm/string/predicate.hpp>

#include "shared/product_constants.h"
#include "shared/text_convert.h"
#include "shared/utc_time.h"

std::wstring InstallRecordSection() {
  std::wstring guid = kProductGuid;
  size_t open = guid.find(L'{');
  size_t close = guid.find(L'}');
  if (open == std::wstring::npos || close == std::wstring::npos || close < open) return guid;
  return guid.substr(open + 1, close - open - 1);
}

std::wstring UninstallKeyPath() { return std::wstring(kUninstallRegKey) + kProductGuid; }

std::wstring ExecuteRecordKey(const std::wstring& location, const std::wstring& param) {
  return location + kExecuteParamSeparator + param;
}

bool SplitRecordLine(const std::wstring& line, std::wstring* key, std::wstring* value) {
  size_t eq = line.find(L'=');
  if (eq == std::wstring::npos) return false;
  *key = line.substr(0, eq);
  *value = line.substr(eq + 1);
  return true;
}

bool IsRecordTag(const std::wstring& value, const std::wstring& tag) {
  return boost::algorithm::iequals(value, tag);
}

UninstallValues MakeUninstallValues(const std::wstring& installDir, const std::wstring& version,
                                    const std::wstring& officialUrl, const std::wstring& url) {
  const std::wstring base = AddBackslash(installDir);
  UninstallValues values;
  values.emplace_back(kDisplayIconValue, base + kIconFile);
  values.emplace_back(kDisplayNameValue, std::wstring(kProductName) + version);
  values.emplace_back(kDisplayVersionValue, version);
  values.emplace_back(kHelpLinkValue, kOfficialHost);
  values.emplace_back(kOfficialUrlValue, officialUrl);
  values.emplace_back(kInstallDateValue, GetUtcDate());
  values.emplace_back(kInstallLocationValue, installDir);
  values.emplace_back(kPublisherValue, kPublisherName);
  values.emplace_back(kUninstallStringValue, base + L"update\\" + kUninstallerExe);
  values.emplace_back(kUrlValue, url);
  return values;
}
