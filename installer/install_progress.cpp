#include "installer/install_progress.h"

#include <climits>
#include <cmath>

#include <boost/thread/locks.hpp>

#include "installer/process_objects.h"

const wchar_t kProgressInitText[] = L"正在初始化，请稍等……";
const wchar_t kProgressDownloadText[] = L"正在下载安装包，请稍等……";
const wchar_t kProgressUnzipText[] = L"正在解压，请稍等……";

namespace {

ProcessObject<KorvaInstallProgress> g_progress;

const double kBytesToMB = 1.0 / 1048576.0;

}  // namespace

KorvaInstallProgress::KorvaInstallProgress()
    : base_(0),
      span_(0),
      total_(0),
      done_(0),
      statusText_(kProgressInitText),
      downloadFinished_(false),
      complete_(false),
      totalBytes_(0),
      downloadedBytes_(0) {}

// The UI thread and a worker may both ask first.
KorvaInstallProgress* KorvaInstallProgress::Instance() { return g_progress.Get(); }

void KorvaInstallProgress::DestroyInstance() { g_progress.Destroy(); }

int KorvaInstallProgress::GetPercent() {
  boost::shared_lock<boost::shared_mutex> read(lock_);
  if (complete_) return 100;
  double percent = done_ * 100 * span_ / total_ + base_ * 100;
  // A stage without a total has no finite value yet.
  if (!std::isfinite(percent)) return 0;
  if (percent >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (percent <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(percent);
}

std::wstring KorvaInstallProgress::GetStatusText() {
  boost::shared_lock<boost::shared_mutex> read(lock_);
  return statusText_;
}

bool KorvaInstallProgress::IsDownloadFinished() {
  boost::shared_lock<boost::shared_mutex> read(lock_);
  return downloadFinished_;
}

double KorvaInstallProgress::GetTotalMB() {
  boost::shared_lock<boost::shared_mutex> read(lock_);
  return totalBytes_ * kBytesToMB;
}

double KorvaInstallProgress::GetDownloadedMB() {
  boost::shared_lock<boost::shared_mutex> read(lock_);
  return downloadedBytes_ * kBytesToMB;
}

void KorvaInstallProgress::SetStage(const std::wstring& text, double base, double span,
                                    double total) {
  boost::unique_lock<boost::shared_mutex> write(lock_);
  statusText_ = text;
  base_ = base;
  span_ = span;
  total_ = total;
  done_ = 0;
}

void KorvaInstallProgress::SetDone(double amount) {
  boost::unique_lock<boost::shared_mutex> write(lock_);
  done_ = amount;
}

void KorvaInstallProgress::SetTotalBytes(double bytes) {
  boost::unique_lock<boost::shared_mutex> write(lock_);
  totalBytes_ = bytes;
}

void KorvaInstallProgress::SetDownloadedBytes(double bytes) {
  boost::unique_lock<boost::shared_mutex> write(lock_);
  downloadedBytes_ = bytes;
}

void KorvaInstallProgress::SetDownloadFinished() {
  boost::unique_lock<boost::shared_mutex> write(lock_);
  downloadFinished_ = true;
}

void KorvaInstallProgress::SetComplete() {
  boost::unique_lock<boost::shared_mutex> write(lock_);
  complete_ = true;
}

bool KorvaInstallProgress::BeginDownloadStage(double totalBytes) {
  boost::unique_lock<boost::shared_mutex> write(lock_);
  if (totalBytes_ != 0) return false;
  statusText_ = kProgressDownloadText;
  base_ = 0;
  span_ = 0.5;
  total_ = totalBytes;
  done_ = 0;
  totalBytes_ = totalBytes;
  return true;
}
