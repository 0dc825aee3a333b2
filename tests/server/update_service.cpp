#include "server/update_service.h"

#include <httplib.h>
#include <json/json.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <strings.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace testing_support {

const char kVersionCheckPath[] = "/pc/version/check";
const char kInstallFigurePath[] = "/pc/statistic/uploadInstallFigure";
const char kUpdateFigurePath[] = "/pc/statistic/uploadUpdateFigure";
const char kPackagesPath[] = "/packages/";
const char kSigningKey[] = "Tarvelkeep5e27c0b9d4138a6f0b2e9c71";

namespace {

const size_t kChunk = 256 * 1024;
const size_t kTrickleChunk = 1024;

std::string Hex(const unsigned char* digest, unsigned int length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kDigits[digest[i] >> 4];
    out += kDigits[digest[i] & 15];
  }
  return out;
}

std::string ReadWholeFile(const std::string& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  ok = static_cast<bool>(in);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string JsonText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

// A self-signed certificate for 127.0.0.1, made fresh for each TLS service.
struct TlsIdentity {
  X509* cert = nullptr;
  EVP_PKEY* key = nullptr;
  ~TlsIdentity() {
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  bool Make() {
    key = EVP_EC_gen("P-256");
    cert = X509_new();
    if (key == nullptr || cert == nullptr) return false;
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    return X509_sign(cert, key, EVP_sha256()) > 0;
  }
};

bool ParseRange(const std::string& header, long long size, long long& first, long long& last) {
  if (header.compare(0, 6, "bytes=") != 0 || header.find(',') != std::string::npos) {
    return false;
  }
  std::string range = header.substr(6);
  size_t dash = range.find('-');
  if (dash == std::string::npos) return false;
  std::string from = range.substr(0, dash);
  std::string to = range.substr(dash + 1);
  if (from.empty()) {  // suffix range: the last N bytes
    if (to.empty()) return false;
    long long n = std::stoll(to);
    first = std::max(0LL, size - n);
    last = size - 1;
    return true;
  }
  first = std::stoll(from);
  last = to.empty() ? size - 1 : std::min(std::stoll(to), size - 1);
  return true;
}

}  // namespace

std::string ServiceMd5(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  return Hex(digest, length);
}

std::string ServiceMd5OfFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return std::string();
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
  std::vector<char> buffer(1 << 20);
  ssize_t got;
  while ((got = ::read(fd, buffer.data(), buffer.size())) > 0) {
    EVP_DigestUpdate(ctx, buffer.data(), static_cast<size_t>(got));
  }
  ::close(fd);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx, digest, &length);
  EVP_MD_CTX_free(ctx);
  return got < 0 ? std::string() : Hex(digest, length);
}

std::string RecordedRequest::header(const std::string& name) const {
  for (const auto& h : headers) {
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
  }
  return std::string();
}

size_t RecordedRequest::headerCount(const std::string& name) const {
  size_t n = 0;
  for (const auto& h : headers) {
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0) ++n;
  }
  return n;
}

TestUpdateService::TestUpdateService() { statisticsReply_.body = "{\"errCode\":0}"; }

TestUpdateService::~TestUpdateService() { Stop(); }

bool TestUpdateService::Start(int port, bool tls) {
  if (server_) return false;
  tls_ = tls;
  if (tls) {
    TlsIdentity identity;
    if (!identity.Make()) return false;
    server_.reset(new httplib::SSLServer(identity.cert, identity.key));
  } else {
    server_.reset(new httplib::Server());
  }
  if (!server_->is_valid()) {
    server_.reset();
    return false;
  }
  InstallRoutes();
  if (port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
  } else {
    port_ = server_->bind_to_port("127.0.0.1", port) ? port : -1;
  }
  if (port_ <= 0) {
    server_.reset();
    port_ = 0;
    return false;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // The socket already listens; wait until the accept loop runs so Stop()
  // never races with its start.
  while (!server_->is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void TestUpdateService::Stop() {
  if (!server_) return;
  HoldStatisticsReplies(false);
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

std::string TestUpdateService::BaseUrl() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string TestUpdateService::VersionCheckUrl() const { return BaseUrl() + kVersionCheckPath; }

std::string TestUpdateService::PackageUrl(const std::string& file) const {
  return BaseUrl() + kPackagesPath + file;
}

void TestUpdateService::SetRoot(const std::string& dir) {
  std::lock_guard<std::mutex> lock(mutex_);
  root_ = dir;
}

void TestUpdateService::SetCatalogFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  catalogPath_ = path;
  catalogText_.clear();
  fileCatalog_.clear();
  ReloadCatalogIfChanged();
}

void TestUpdateService::SetPackage(const CatalogEntry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  directCatalog_[entry.packageName] = entry;
}

void TestUpdateService::RemovePackage(const std::string& packageName) {
  std::lock_guard<std::mutex> lock(mutex_);
  directCatalog_.erase(packageName);
  fileCatalog_.erase(packageName);
  versionReplies_.erase(packageName);
}

void TestUpdateService::SetVersionReply(const std::string& packageName, int status,
                                        const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  versionReplies_[packageName] = Reply{status, body};
}

void TestUpdateService::SetFaults(const std::string& file, const DownloadFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_[file] = faults;
}

void TestUpdateService::ClearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.clear();
}

void TestUpdateService::SetRecordFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  recordPath_ = path;
}

void TestUpdateService::SetStatisticsReply(int status, const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  statisticsReply_ = Reply{status, body};
}

void TestUpdateService::HoldStatisticsReplies(bool hold) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    statisticsHeld_ = hold;
  }
  statisticsReleased_.notify_all();
}

std::vector<StatisticsPost> TestUpdateService::StatisticsPosts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return posts_;
}

std::vector<RecordedRequest> TestUpdateService::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<RecordedRequest> TestUpdateService::RequestsTo(const std::string& path) const {
  std::vector<RecordedRequest> out;
  for (auto& r : Requests()) {
    if (r.path == path) out.push_back(r);
  }
  return out;
}

void TestUpdateService::InstallRoutes() {
  server_->Get(kVersionCheckPath, [this](const httplib::Request& req, httplib::Response& res) {
    HandleVersionCheck(req, res);
  });
  server_->Get(R"(/packages/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
    HandlePackage(req, res);
  });
  for (const char* path : {kInstallFigurePath, kUpdateFigurePath}) {
    server_->Post(path, [this](const httplib::Request& req, httplib::Response& res) {
      HandleStatistics(req, res);
    });
  }
}

int TestUpdateService::Record(const httplib::Request& req, int status) {
  RecordedRequest r;
  r.method = req.method;
  r.path = req.path;
  r.target = req.target;
  r.headers.insert(req.headers.begin(), req.headers.end());
  r.body = req.body;
  r.status = status;
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(std::move(r));
  return status;
}

void TestUpdateService::ReloadCatalogIfChanged() {
  if (catalogPath_.empty()) return;
  bool ok = false;
  std::string text = ReadWholeFile(catalogPath_, ok);
  // A catalog being rewritten may be caught empty or half-written: keep the
  // last good one until it parses again.
  if (!ok || text == catalogText_) return;
  Json::Value doc;
  Json::Reader reader;
  if (!reader.parse(text, doc) || !(doc.isObject() || doc.isArray())) return;
  const Json::Value& list = doc.isArray() ? doc : doc["packages"];
  if (!list.isArray()) return;
  std::map<std::string, CatalogEntry> entries;
  for (const auto& item : list) {
    if (!item.isObject()) continue;
    CatalogEntry e;
    e.packageName = item.get("packageName", "").asString();
    e.versionCode = item.get("versionCode", 0).asInt();
    e.versionName = item.get("versionName", "").asString();
    e.text = item.get("text", "").asString();
    e.file = item.get("file", "").asString();
    entries[e.packageName] = e;
  }
  fileCatalog_.swap(entries);
  catalogText_ = text;
}

bool TestUpdateService::FindEntry(const std::string& packageName, CatalogEntry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  ReloadCatalogIfChanged();
  auto direct = directCatalog_.find(packageName);
  if (direct != directCatalog_.end()) {
    entry = direct->second;
    return true;
  }
  auto fromFile = fileCatalog_.find(packageName);
  if (fromFile != fileCatalog_.end()) {
    entry = fromFile->second;
    return true;
  }
  return false;
}

DownloadFaults TestUpdateService::FaultsFor(const std::string& file) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = faults_.find(file);
  if (it == faults_.end()) it = faults_.find("*");
  return it == faults_.end() ? DownloadFaults() : it->second;
}

bool TestUpdateService::DigestOf(const std::string& path, long long& size, std::string& md5) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  long long mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = digests_.find(path);
    if (it != digests_.end() && it->second.size == st.st_size && it->second.mtime == mtime) {
      size = it->second.size;
      md5 = it->second.md5;
      return true;
    }
  }
  FileDigest digest{static_cast<long long>(st.st_size), mtime, ServiceMd5OfFile(path)};
  std::lock_guard<std::mutex> lock(mutex_);
  digests_[path] = digest;
  size = digest.size;
  md5 = digest.md5;
  return true;
}

void TestUpdateService::HandleVersionCheck(const httplib::Request& req, httplib::Response& res) {
  const std::string timestamp = req.get_header_value("TIMESTAMP");
  const std::string token = req.get_header_value("TOKEN");
  if (timestamp.empty() || token != ServiceMd5(kSigningKey + timestamp)) {
    Record(req, 200);
    res.set_content("{\"code\":-1,\"msg\":\"invalid signature\"}", "application/json");
    return;
  }

  const std::string name = req.get_param_value("packageName");
  {
    std::unique_lock<std::mutex> lock(mutex_);
    auto raw = versionReplies_.find(name);
    if (raw != versionReplies_.end()) {
      Reply reply = raw->second;
      lock.unlock();
      res.status = Record(req, reply.status);
      res.set_content(reply.body, "application/json");
      return;
    }
  }

  long long installed = std::strtoll(req.get_param_value("versionCode").c_str(), nullptr, 10);
  CatalogEntry entry;
  Json::Value reply(Json::objectValue);
  if (!FindEntry(name, entry) || entry.versionCode <= installed) {
    reply["code"] = 0;
  } else {
    long long size = 0;
    std::string md5;
    std::string root;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      root = root_;
    }
    DigestOf(root + "/" + entry.file, size, md5);
    if (FaultsFor(entry.file).corruptMd5 && !md5.empty()) {
      md5[0] = md5[0] == '0' ? '1' : '0';
    }
    Json::Value data(Json::objectValue);
    data["versionCode"] = entry.versionCode;
    data["versionName"] = entry.versionName;
    data["downloadUrl"] = PackageUrl(entry.file);
    data["text"] = entry.text;
    data["size"] = static_cast<Json::Int64>(size);
    data["md5"] = md5;
    reply["code"] = 2;
    reply["data"] = data;
  }
  Record(req, 200);
  res.set_content(JsonText(reply), "application/json");
}

void TestUpdateService::HandlePackage(const httplib::Request& req, httplib::Response& res) {
  const std::string file = req.matches[1];
  const DownloadFaults faults = FaultsFor(file);

  // The range is handled here, not by the library, so that faults can ignore it.
  const std::string range = req.get_header_value("Range");
  const_cast<httplib::Request&>(req).ranges.clear();

  if (faults.redirects > 0) {
    int hop = req.has_param("hop") ? std::atoi(req.get_param_value("hop").c_str()) : 0;
    if (hop < faults.redirects) {
      res.status = Record(req, 302);
      res.set_header("Location", std::string(kPackagesPath) + file + "?hop=" + std::to_string(hop + 1));
      return;
    }
  }

  std::string path;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    path = root_ + "/" + file;
  }
  struct stat st;
  const bool exists = file.find("..") == std::string::npos && ::stat(path.c_str(), &st) == 0 &&
                      S_ISREG(st.st_mode);
  const long long size = exists ? static_cast<long long>(st.st_size) : 0;

  int status = faults.status;
  if (status == 0 && !exists) status = 404;
  long long first = 0;
  long long last = size - 1;
  if (status == 0 && !range.empty() && !faults.ignoreRange) {
    if (!ParseRange(range, size, first, last) || first >= size) {
      status = 416;
    } else {
      status = 206;
    }
  }
  if (status == 416) {
    res.status = Record(req, 416);
    res.set_header("Content-Range", "bytes */" + std::to_string(size));
    res.set_content("<html><body><h1>416 Range Not Satisfiable</h1></body></html>", "text/html");
    return;
  }
  if (status != 0 && status != 206) {
    res.status = Record(req, status);
    res.set_content("<html><body><h1>" + std::to_string(status) + " Error</h1></body></html>",
                    "text/html");
    return;
  }
  if (status == 206) {
    res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                        std::to_string(last) + "/" + std::to_string(size));
  } else {
    status = 200;
  }
  res.status = Record(req, status);
  res.set_header("Accept-Ranges", "bytes");
  const long long length = last - first + 1;
  if (length <= 0) {
    res.set_content("", "application/octet-stream");
    return;
  }

  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    res.status = 500;
    return;
  }
  std::shared_ptr<long long> sent = std::make_shared<long long>(0);
  res.set_content_provider(
      static_cast<size_t>(length), "application/octet-stream",
      [fd, first, faults, sent](size_t offset, size_t remaining, httplib::DataSink& sink) {
        size_t want = std::min(remaining, faults.trickleDelayMs > 0 ? kTrickleChunk : kChunk);
        if (faults.dropAfterBytes >= 0) {
          long long allowed = faults.dropAfterBytes - *sent;
          if (allowed <= 0) return false;  // drops the connection
          want = std::min(want, static_cast<size_t>(allowed));
        }
        if (faults.trickleDelayMs > 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(faults.trickleDelayMs));
        }
        std::vector<char> buffer(want);
        ssize_t got = ::pread(fd, buffer.data(), want, first + static_cast<off_t>(offset));
        if (got <= 0) return false;
        *sent += got;
        return sink.write(buffer.data(), static_cast<size_t>(got));
      },
      [fd](bool) { ::close(fd); });
}

void TestUpdateService::HandleStatistics(const httplib::Request& req, httplib::Response& res) {
  StatisticsPost post;
  post.path = req.path;
  post.body = req.body;
  post.headers.insert(req.headers.begin(), req.headers.end());
  Reply reply;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    posts_.push_back(post);
    reply = statisticsReply_;
    if (!recordPath_.empty()) {
      std::ofstream out(recordPath_, std::ios::binary | std::ios::app);
      out << post.path << ' ' << post.body.size() << '\n' << post.body << '\n';
    }
    statisticsReleased_.wait_for(lock, std::chrono::seconds(30), [this] { return !statisticsHeld_; });
  }
  res.status = Record(req, reply.status);
  res.set_content(reply.body, "application/json");
}

}  // namespace testing_support
