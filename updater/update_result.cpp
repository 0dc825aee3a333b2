// libcurl is used here: winsock2.h goes before anything that brings in windows.h.
#include <winsock2.h>

#include "updater/update_result.h"

#include <ctime>
#include <string>

#include <shlobj.h>

#include "shared/http_client.h"
#include "shared/json_config.h"
#include "shared/log_writer.h"
#include "shared/product_constants.h"
#include "shared/system_helpers.h"
#include "shared/text_convert.h"
#include "updater/update_context.h"

namespace {

const char kUpdateFigurePath[] = "/pc/statistic/uploadUpdateFigure";

INT32 Now() { return static_cast<INT32>(std::time(NULL)); }

// The phone number of the product's user configuration; 0 when there is
// none that reads as a number.
INT64 ReadPhoneNumber() {
  try {
    WCHAR folder[MAX_PATH] = {};
    SHGetFolderPathW(NULL, CSIDL_APPDATA, NULL, 0, folder);
    JsonConfig config;
    config.Load(std::wstring(folder) + kUserConfigPath);
    std::string text;
    config.GetPhoneNumber(text);
    // Leading blanks, a sign and the digits up to the first other character;
    // empty text, no digits or a number out of range throw.
    return std::stoll(text);
  } catch (...) {
    return 0;
  }
}

// The form, in the service's field order. The phone number stays on this
// machine: the service has no field for it.
std::string FormBody(const UpdateResult& result) {
  return "macAddress=" + WideToAnsi(result.mac) + "&updateObj=" + std::to_string(result.updateObj) +
         "&errorCode=" + std::to_string(result.errorCode) + "&errorMsg=" + WideToAnsi(result.errorMsg) +
         "&startedAt=" + std::to_string(result.startedAt) + "&endedAt=" + std::to_string(result.endedAt);
}

}  // namespace

void BeginUpdateResult(UpdateResult& out) {
  GetMacAddress(out.mac);
  out.startedAt = Now();
  out.phone = ReadPhoneNumber();
}

void FinishUpdateResult(UpdateResult& out, int errorCode, int updateObj) {
  out.updateObj = updateObj;
  out.errorCode = errorCode;
  out.endedAt = Now();
  out.errorMsg = (errorCode >= 0 && errorCode < 4) ? kUpdateResultTexts[errorCode] : L"";
  UploadUpdateResult(UpdateContext::Instance()->GetStatisticsUrl(), out);
}

void UploadUpdateResult(const std::wstring& baseUrl, const UpdateResult& result) {
  WriteLog("start to upload update result.");
  const std::string address = WideToUtf8(baseUrl) + kUpdateFigurePath;
  std::string reply;
  if (Post(address, "Content-Type:application/x-www-form-urlencoded", FormBody(result), reply) == 0) {
    Json::Reader reader;
    Json::Value root;
    INT32 errCode = 0;
    if (!reader.parse(reply, root) || !root.isObject() || !JsonReadInt(root.get("errCode", Json::Value()), errCode)) {
      WriteLog("data parse error during uploading update result: %d .", -1);
    } else if (errCode != 0) {
      WriteLog("upload update result error: %d .", errCode);
    }
  }
  WriteLog("finish to upload update result.");
}
