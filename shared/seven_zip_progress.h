// Progress of an extraction, implemented by whoever starts one.
#pragma once
#include <windows.h>

class ISevenZipExtractProgressCallBack {
 public:
  // isTotal: `value` is the total the library announces; otherwise the amount
  // completed so far, in the same unit. Called from the library's threads.
  virtual void OnExtractProgress(bool isTotal, UINT64 value) = 0;
};
