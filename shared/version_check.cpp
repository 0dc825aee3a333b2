// libcurl is used here: winsock2.h goes before anything that brings in windows.h.
#include <winsock2.h>

#include "shared/version_check.h"

#include <json/json.h>

#include "shared/http_client.h"
#include "shared/json_config.h"
#include "shared/text_convert.h"

namespace {

bool ReadData(const Json::Value& data, UpdateInfo& out) {
  if (!data.isObject() && !data.isNull()) return false;
  INT32 size = 0;
  // Filled in reply order; a bad member leaves the earlier ones filled.
  if (!JsonReadInt(data.get("versionCode", Json::Value()), out.versionCode) ||
      !JsonReadText(data.get("versionName", Json::Value()), out.versionName) ||
      !JsonReadText(data.get("downloadUrl", Json::Value()), out.downloadUrl) ||
      !JsonReadText(data.get("text", Json::Value()), out.text) ||
      !JsonReadInt(data.get("size", Json::Value()), size)) {
    return false;
  }
  out.size = size;
  return JsonReadText(data.get("md5", Json::Value()), out.md5);
}

}  // namespace

int CheckVersion(const std::wstring& baseUrl, const std::wstring& packageName,
                 const std::wstring& versionCode, UpdateInfo& out) {
  const std::string query = "?channel=portal&packageName=" + WideToUtf8(packageName) +
                            "&versionCode=" + WideToUtf8(versionCode);
  std::string reply;
  if (HttpGetSigned(WideToUtf8(baseUrl), query, reply) != 0) {
    return -1;
  }
  try {
    Json::Reader reader;
    Json::Value document;
    if (!reader.parse(reply, document) || !document.isObject()) {
      return -1;
    }
    INT32 code = 0;
    if (!JsonReadInt(document.get("code", Json::Value()), code) || code == -1) {
      return -1;
    }
    if (!ReadData(document.get("data", Json::Value()), out)) {
      return -1;
    }
    return code;
  } catch (...) {
    return -1;
  }
}
