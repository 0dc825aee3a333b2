// The test update and statistics service: a real HTTP server on 127.0.0.1
// that answers signed version checks from a catalog, serves package files
// with byte ranges (and faults a test switches on), and records statistics
// posts. Tests run it in-process; the demo runs korva-test-service.
#pragma once
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace testing_support {

// Paths of the service.
extern const char kVersionCheckPath[];     // "/pc/version/check"
extern const char kInstallFigurePath[];    // "/pc/statistic/uploadInstallFigure"
extern const char kUpdateFigurePath[];     // "/pc/statistic/uploadUpdateFigure"
extern const char kPackagesPath[];         // "/packages/" + file name

// The 34-character key the programs sign version checks with.
extern const char kSigningKey[];

// One package the version check knows.
struct CatalogEntry {
  std::string packageName;
  int versionCode = 0;
  std::string versionName;
  std::string text;
  std::string file;  // file name under the root, served at /packages/<file>
};

// Faults of the package downloads, per file or for every file.
struct DownloadFaults {
  long long dropAfterBytes = -1;  // close the connection after this many body bytes
  bool ignoreRange = false;       // answer range requests with 200 and the whole file
  int status = 0;                 // answer this status (404, 500, 416 ...) instead
  int redirects = 0;              // number of 302 hops before the file is served
  int trickleDelayMs = 0;         // pause before each 1 KiB chunk
  bool corruptMd5 = false;        // the version check announces a wrong md5 for the file
};

struct RecordedRequest {
  std::string method;
  std::string path;
  std::string target;  // path with the raw query
  std::multimap<std::string, std::string> headers;
  std::string body;
  int status = 0;
  std::string header(const std::string& name) const;  // first value, case-insensitive
  size_t headerCount(const std::string& name) const;
};

// A statistics post as it arrived.
struct StatisticsPost {
  std::string path;
  std::string body;  // raw bytes
  std::multimap<std::string, std::string> headers;
};

// Lower-case hex MD5 of bytes / of a file, computed independently of the
// product's own MD5 (libcrypto). Empty when the file cannot be read.
std::string ServiceMd5(const std::string& bytes);
std::string ServiceMd5OfFile(const std::string& path);

class TestUpdateService {
 public:
  TestUpdateService();
  ~TestUpdateService();
  TestUpdateService(const TestUpdateService&) = delete;
  TestUpdateService& operator=(const TestUpdateService&) = delete;

  // Binds 127.0.0.1:port (0 = any free port) and serves on a thread. With
  // `tls` the service speaks HTTPS with a fresh self-signed certificate.
  bool Start(int port = 0, bool tls = false);
  void Stop();
  int port() const { return port_; }

  std::string BaseUrl() const;          // http://127.0.0.1:<port>
  std::string VersionCheckUrl() const;  // BaseUrl() + kVersionCheckPath
  std::string PackageUrl(const std::string& file) const;

  // Directory of the package files.
  void SetRoot(const std::string& dir);
  // Catalog JSON file: {"packages": [{"packageName", "versionCode",
  // "versionName", "text", "file"}]} (a bare array works too). Re-read
  // whenever it changes on disk.
  void SetCatalogFile(const std::string& path);
  // Entries set here take precedence over the catalog file.
  void SetPackage(const CatalogEntry& entry);
  void RemovePackage(const std::string& packageName);
  // Answer the version check for this package with exactly this (after the
  // signature check), e.g. to send malformed replies.
  void SetVersionReply(const std::string& packageName, int status, const std::string& body);

  // Faults for one file name, or for every file with "*".
  void SetFaults(const std::string& file, const DownloadFaults& faults);
  void ClearFaults();

  // Statistics posts are appended to this file: "<path> <length>\n<body>\n".
  void SetRecordFile(const std::string& path);
  void SetStatisticsReply(int status, const std::string& body);
  // While held, a statistics post is recorded as it arrives and its reply
  // waits until the hold ends (half a minute at the most): a test acts while
  // the program waits for it.
  void HoldStatisticsReplies(bool hold);
  std::vector<StatisticsPost> StatisticsPosts() const;

  // Every request the service answered (recorded before the body is sent).
  std::vector<RecordedRequest> Requests() const;
  std::vector<RecordedRequest> RequestsTo(const std::string& path) const;

 private:
  struct Reply {
    int status = 200;
    std::string body;
  };
  struct FileDigest {
    long long size = -1;
    long long mtime = 0;
    std::string md5;
  };

  void InstallRoutes();
  int Record(const httplib::Request& req, int status);
  void HandleVersionCheck(const httplib::Request& req, httplib::Response& res);
  void HandlePackage(const httplib::Request& req, httplib::Response& res);
  void HandleStatistics(const httplib::Request& req, httplib::Response& res);
  void ReloadCatalogIfChanged();  // mutex_ held
  bool FindEntry(const std::string& packageName, CatalogEntry& entry);
  DownloadFaults FaultsFor(const std::string& file) const;
  bool DigestOf(const std::string& path, long long& size, std::string& md5);

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  bool tls_ = false;

  mutable std::mutex mutex_;
  std::string root_;
  std::string catalogPath_;
  std::string catalogText_;
  std::map<std::string, CatalogEntry> fileCatalog_;
  std::map<std::string, CatalogEntry> directCatalog_;
  std::map<std::string, Reply> versionReplies_;
  std::map<std::string, DownloadFaults> faults_;
  std::map<std::string, FileDigest> digests_;
  std::string recordPath_;
  Reply statisticsReply_;
  bool statisticsHeld_ = false;
  std::condition_variable statisticsReleased_;
  std::vector<StatisticsPost> posts_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace testing_support
