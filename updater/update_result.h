// The statistics record of one package step and its upload.
#pragma once
#include <string>

#include <windows.h>

// Package numbers of the record.
enum UpdateObject {
  kUpdateObjectSelf = 0,
  kUpdateObjectMain = 1,
  kUpdateObjectDelta = 2,
};

struct UpdateResult {
  std::wstring mac;       // first Ethernet adapter, "00-11-22-33-44-55"; empty when none
  std::wstring errorMsg;  // kUpdateResultTexts[errorCode]
  INT32 updateObj = 0;
  INT32 errorCode = 0;
  INT64 phone = 0;  // the user's phone number; 0 when unknown. Never sent.
  INT32 startedAt = 0;  // UNIX seconds
  INT32 endedAt = 0;
};

// Right before a step: MAC address, start time and the user's phone number.
void BeginUpdateResult(UpdateResult& out);
// Right after a step: completes the record and sends it to the statistics
// address of the installation.
void FinishUpdateResult(UpdateResult& out, int errorCode, int updateObj);
// Form POST of the record to <baseUrl>/pc/statistic/uploadUpdateFigure.
void UploadUpdateResult(const std::wstring& baseUrl, const UpdateResult& result);
