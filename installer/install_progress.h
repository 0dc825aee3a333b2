// The install progress model: workers write the current stage and amount,
// the progress window's timer reads the percentage.
#pragma once
#include <string>
#include <boost/thread/shared_mutex.hpp>

class IInstallProgress {
 public:
  virtual int GetPercent() = 0;
  virtual std::wstring GetStatusText() = 0;
  virtual bool IsDownloadFinished() = 0;
  virtual double GetTotalMB() = 0;
  virtual double GetDownloadedMB() = 0;

 protected:
  ~IInstallProgress() {}
};

// Captions of the stages.
extern const wchar_t kProgressInitText[];
extern const wchar_t kProgressDownloadText[];
extern const wchar_t kProgressUnzipText[];

class KorvaInstallProgress final : public IInstallProgress {
 public:
  KorvaInstallProgress();

  // The process-wide model, created on first use (safe from any thread).
  static KorvaInstallProgress* Instance();
  // Frees the process-wide model; called by its exit hook.
  static void DestroyInstance();

  int GetPercent() override;
  std::wstring GetStatusText() override;
  bool IsDownloadFinished() override;
  double GetTotalMB() override;
  double GetDownloadedMB() override;

  // Starts a stage: all four values change under one hold of the lock, and
  // the amount done goes back to 0.
  void SetStage(const std::wstring& text, double base, double span, double total);
  void SetDone(double amount);
  void SetTotalBytes(double bytes);
  void SetDownloadedBytes(double bytes);
  void SetDownloadFinished();
  void SetComplete();
  // The first download report: sets the download stage and the total size
  // unless a report did so before. True when it did.
  bool BeginDownloadStage(double totalBytes);

 private:
  boost::shared_mutex lock_;
  double base_;
  double span_;
  double total_;
  double done_;
  std::wstring statusText_;
  bool downloadFinished_;
  bool complete_;
  double totalBytes_;
  double downloadedBytes_;
};
