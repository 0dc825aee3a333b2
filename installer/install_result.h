// The statistics record sent at the end of every installation.
#pragma once
#include <string>

struct InstallResult {
  std::wstring mac;
  std::wstring message;
  int stage = 0;
  int code = 0;
  int startedAt = 0;
  int endedAt = 0;
};

void BeginInstallResult(InstallResult& out);
// Completes the record with the run's result code and sends it.
void FinishInstallResult(InstallResult& out, int code);
int UploadInstallResult(const std::wstring& baseUrl, const InstallResult& result);
