// One run of the updater, from the update window's "windowinit": network and
// configuration checks, the updater's own package or else the main and delta
// packages, their statistics and version write-back, and the end of the run.
#include <string>

#include <windows.h>
#include <wininet.h>

#include "shared/log_writer.h"
#include "shared/product_constants.h"
#include "shared/version_check.h"
#include "updater/KorvaUpdateMessageWnd.h"
#include "updater/KorvaUpdateWnd.h"
#include "updater/self_update.h"
#include "updater/update_context.h"
#include "updater/update_messages.h"
#include "updater/update_result.h"

using namespace DuiLib;

namespace {

const WCHAR kNoticeTitle[] = L"提示";
const WCHAR kNetworkBadText[] = L"网络连接异常，请检查网络后再试";
const WCHAR kConfigBadText[] = L"初始化配置文件错误";
const WCHAR kSelfFailedText[] = L"Update更新失败, 您可前往官网下载最新安装包";
const WCHAR kMainFailedText[] = L"Korva更新失败, 您可前往官网下载最新安装包";
const WCHAR kDeltaFailedText[] = L"KorvaDelta更新失败, 您可前往官网下载最新安装包";

}  // namespace

void KorvaUpdateWnd::ShowPackage(const std::wstring& versionName, const std::wstring* releaseText) {
  CDuiString feature;
  feature.Format(kVersionTooLowFormat, versionName.c_str());
  if (LabelFeature) LabelFeature->SetText(feature);
  if (releaseText && TextUpdateDetail) TextUpdateDetail->SetText(releaseText->c_str());
}

void KorvaUpdateWnd::EndRun() { PostMessage(kMsgUpdateQuit); }

void KorvaUpdateWnd::FailRun(const char* logLine, const WCHAR* text, int mode) {
  WriteLog("%s", logLine);
  ShowUpdateMessageBox(this, kNoticeTitle, text, mode);
}

bool KorvaUpdateWnd::ApplyPackage(const UpdateInfo& info, int updateObj, int (UpdateContext::*apply)(),
                                  const char* failLog, const WCHAR* failText) {
  ShowPackage(info.versionName, &info.text);
  UpdateResult result;
  BeginUpdateResult(result);
  const int code = (UpdateContext::Instance()->*apply)();
  FinishUpdateResult(result, code, updateObj);
  if (code == kUpdateOk) return true;
  FailRun(failLog, failText, kUpdateBoxLaunchOrSite);
  KillTimer(GetHWND(), kUpdateProgressTimer);
  EndRun();
  return false;
}

void KorvaUpdateWnd::OnPrepare() {
  ShowWindow(false, true);
  UpdateContext* context = UpdateContext::Instance();
  context->owner = this;
  // Before anything reads the install tree: a run that was cut off during a
  // package's move is undone, so that its update is offered again.
  context->RecoverInterruptedPackage();

  DWORD flags = 0;
  if (!InternetGetConnectedState(&flags, 0)) {
    FailRun("network is bad.", kNetworkBadText, kUpdateBoxNotice);
    EndRun();
    return;
  }
  if (!context->LoadUpdateConfig()) {
    FailRun("failed to init config from update.json.", kConfigBadText, kUpdateBoxNotice);
    EndRun();
    return;
  }

  const UpdateConfig& config = context->config;
  context->selfNeeded =
      CheckVersion(config.updateurl, config.updater.packagename, config.updater.version, context->selfInfo) == 2;
  if (context->selfNeeded) {
    // The window stays hidden: the restarted updater does the rest.
    WriteLog("update.7z need to update.");
    ShowPackage(context->selfInfo.versionName, nullptr);
    UpdateResult result;
    BeginUpdateResult(result);
    int code = context->ApplySelfUpdate();
    // A new updater that its records would not name is never started: it
    // would take itself for old and fetch itself again. One that cannot be
    // put in place is reported as unpacking failed, like such a main package.
    if (code == kUpdateOk && !FinishSelfUpdate(context->GetWorkDir() + kSelfUpdatePackageDir)) {
      code = kUpdateUnzipFailed;
    }
    context->ReleasePackageLock();
    // Reported once the outcome is known, so after the batch file started.
    // It waits about half a minute for this updater to end, twice as long
    // as a report can take (kRequestTimeoutSeconds).
    FinishUpdateResult(result, code, kUpdateObjectSelf);
    if (code != kUpdateOk) {
      FailRun("fail to update update.7z", kSelfFailedText, kUpdateBoxNotice);
      LaunchProduct(false);
    }
    EndRun();
    return;
  }

  if (!context->CheckVersions()) {
    WriteLog("no need update Korva and KorvaDelta, now run launch.exe");
    LaunchProduct(true);
    EndRun();
    WriteLog("OnPrepare Out.");
    return;
  }

  SetTimer(GetHWND(), kUpdateProgressTimer, kUpdateProgressTimerPeriodMs, NULL);
  ShowWindow(true, true);
  std::wstring cfgPath = context->GetInstallLocation() + kModuleSubdir + kUpdateConfigFile;
  ToBackslashes(cfgPath);

  if (context->mainNeeded) {
    const UpdateInfo mainInfo = context->mainInfo;
    if (!ApplyPackage(mainInfo, kUpdateObjectMain, &UpdateContext::ApplyMainPackage,
                      "fail to update Korva main package.", kMainFailedText)) {
      return;
    }
    context->WriteVersionBack(cfgPath, L"updatekorva", mainInfo.versionCode);
    context->ReleasePackageLock();
    // The main package may have brought its own update.json.
    context->LoadUpdateConfig();
    context->deltaNeeded = CheckVersion(config.updateurl, config.delta.packagename, config.delta.version,
                                        context->deltaInfo) == 2;
    if (!context->deltaNeeded) {
      if (ProgressUpdate) ProgressUpdate->SetValue(99);
      updateDone = true;
      return;
    }
  }

  const UpdateInfo deltaInfo = context->deltaInfo;
  if (ApplyPackage(deltaInfo, kUpdateObjectDelta, &UpdateContext::ApplyDeltaPackage, "fail to update korvaDelta",
                   kDeltaFailedText)) {
    context->WriteVersionBack(cfgPath, L"updatekorvadelta", deltaInfo.versionCode);
    context->ReleasePackageLock();
  }
  updateDone = true;
  WriteLog("OnPrepare Out.");
}
