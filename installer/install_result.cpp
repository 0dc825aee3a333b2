// libcurl is used here: winsock2.h goes before anything that brings in windows.h.
#include <winsock2.h>

#include "installer/install_result.h"

#include <ctime>

#include <json/json.h>

#include "installer/install_kernel.h"
#include "shared/product_constants.h"
#include "shared/http_client.h"
#include "shared/log_writer.h"
#include "shared/system_helpers.h"
#include "shared/text_convert.h"

namespace {

int NowSeconds() { return static_cast<int>(static_cast<long long>(time(nullptr))); }

}  // namespace

void BeginInstallResult(InstallResult& out) {
  GetMacAddress(out.mac);
  out.stage = 0;
  out.startedAt = NowSeconds();
}

void FinishInstallResult(InstallResult& out, int code) {
  out.code = code;
  const int texts = sizeof(kInstallResultTexts) / sizeof(kInstallResultTexts[0]);
  out.message = (code >= 0 && code < texts) ? kInstallResultTexts[code] : L"";
  out.endedAt = NowSeconds();
  UploadInstallResult(KorvaInstallKernel::Instance()->GetConfig().url, out);
}

int UploadInstallResult(const std::wstring& baseUrl, const InstallResult& result) {
  WriteLog("start to upload install result.");
  const std::string address = WideToUtf8(baseUrl) + "/pc/statistic/uploadInstallFigure";
  const std::string headers = "Content-Type:application/x-www-form-urlencoded";
  const std::string body = "macAddress=" + WideToAnsi(result.mac) +
                           "&stage=" + std::to_string(result.stage) +
                           "&errorCode=" + std::to_string(result.code) +
                           "&errorMsg=" + WideToAnsi(result.message) +
                           "&startedAt=" + std::to_string(result.startedAt) +
                           "&endedAt=" + std::to_string(result.endedAt);
  std::string reply;
  if (Post(address, headers, body, reply) == 0) {
    Json::Reader reader;
    Json::Value root;
    INT32 errCode = 0;
    bool usable = reader.parse(reply, root) && root.isObject() &&
                  JsonReadInt(root.get("errCode", Json::Value()), errCode);
    if (!usable) {
      WriteLog("data parse error during upload install result: %d .", -1);
    } else if (errCode != 0) {
      WriteLog("upload install result error: %d .", errCode);
    }
  }
  WriteLog("finish to upload install result.");
  return 0;
}
