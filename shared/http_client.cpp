#include "shared/http_client.h"

#include <boost/algorithm/string/predicate.hpp>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "shared/md5.h"
#include "shared/text_convert.h"

const char kRequestSigningKey[] = "Tarvelkeep5e27c0b9d4138a6f0b2e9c71";

namespace {

const char kUserAgent[] =
    "Mozilla/5.0 (Windows NT 6.1; WOW64; rv:13.0) Gecko/20100101 Firefox/13.0.1";
const long kReceiveBufferSize = 256 * 1024;

// Releases a transfer handle and its header list on every way out.
class TransferHandle {
 public:
  TransferHandle() : curl_(curl_easy_init()) {}
  ~TransferHandle() {
    if (headers_ != NULL) curl_slist_free_all(headers_);
    if (curl_ != NULL) curl_easy_cleanup(curl_);
  }
  TransferHandle(const TransferHandle&) = delete;
  TransferHandle& operator=(const TransferHandle&) = delete;

  CURL* get() const { return curl_; }
  void AddHeader(const std::string& line) {
    struct curl_slist* list = curl_slist_append(headers_, line.c_str());
    if (list != NULL) headers_ = list;
  }
  struct curl_slist* headers() const { return headers_; }

 private:
  CURL* curl_;
  struct curl_slist* headers_ = NULL;
};

// State of one file download: decides, once the status of the answer is
// known, whether the body belongs in the file and whether the partial file
// has to start again.
struct DownloadTarget {
  HANDLE file = INVALID_HANDLE_VALUE;
  CURL* curl = NULL;
  LONGLONG resumeFrom = 0;
  bool decided = false;
  bool keepBody = false;
  bool failed = false;
  LONGLONG rangeTotal = -1;  // the N of "Content-Range: bytes */N"
};

bool TruncateFile(HANDLE file) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return SetFilePointerEx(file, zero, NULL, FILE_BEGIN) && SetEndOfFile(file);
}

long ResponseCode(CURL* curl) {
  long code = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
  return code;
}

void DecideBody(DownloadTarget* target) {
  if (target->decided) return;
  target->decided = true;
  const long code = ResponseCode(target->curl);
  target->keepBody = (code == 200 || code == 206);
  // A server that does not honour the range sends the whole file: the
  // partial data in front of it would spoil it.
  if (code == 200 && target->resumeFrom > 0 && !TruncateFile(target->file)) {
    target->failed = true;
  }
}

size_t DownloadWriteCallback(char* data, size_t size, size_t count, void* userdata) {
  DownloadTarget* target = static_cast<DownloadTarget*>(userdata);
  DecideBody(target);
  if (target->failed) return 0;
  // Error pages never go into the package file.
  if (!target->keepBody) return size * count;
  return FileWriteCallback(data, size, count, target->file);
}

size_t DownloadHeaderCallback(char* buffer, size_t size, size_t count, void* userdata) {
  DownloadTarget* target = static_cast<DownloadTarget*>(userdata);
  const std::string line(buffer, size * count);
  if (boost::algorithm::starts_with(line, "HTTP/")) {
    target->rangeTotal = -1;  // a new answer, e.g. after a redirect
  } else if (boost::algorithm::istarts_with(line, "Content-Range:")) {
    const size_t total = line.find("*/");
    if (total != std::string::npos) {
      target->rangeTotal = std::strtoll(line.c_str() + total + 2, NULL, 10);
    }
  }
  return size * count;
}

// What every transfer sets: the connect limit, and certificates checked
// against the system's store (an OpenSSL libcurl on Windows has no store of
// its own; other builds ignore the flag). No signals: a libcurl with the
// synchronous resolver would time out look-ups with SIGALRM, which threads
// do not survive.
void SetTransferOptions(CURL* curl) {
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
}

// Short requests made while a window waits: bounded as a whole.
void SetRequestOptions(CURL* curl) {
  SetTransferOptions(curl);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
}

}  // namespace

size_t StringWriteCallback(void* data, size_t size, size_t count, void* target) {
  if (target == NULL || data == NULL) {
    return static_cast<size_t>(-1);
  }
  static_cast<std::string*>(target)->append(static_cast<const char*>(data), size * count);
  return size * count;
}

size_t FileWriteCallback(void* data, size_t size, size_t count, void* file) {
  const size_t bytes = size * count;
  DWORD written = 0;
  if (bytes > 0 && !WriteFile(static_cast<HANDLE>(file), data, static_cast<DWORD>(bytes), &written,
                              NULL)) {
    return 0;
  }
  return size == 0 ? 0 : written / size;
}

void SetDownloadRequestOptions(CURL* curl, const std::string& url) {
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_POST, 0L);
  SetTransferOptions(curl);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kStallBytesPerSecond);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
}

int CurlProgressCallback(void* progressData, curl_off_t downloadTotal, curl_off_t downloadNow,
                         curl_off_t /*uploadTotal*/, curl_off_t /*uploadNow*/) {
  if (progressData == NULL) {
    return 37;  // aborts the transfer
  }
  DownloadProgressFn progress = reinterpret_cast<DownloadProgressFn>(progressData);
  progress(static_cast<double>(downloadTotal), static_cast<double>(downloadNow));
  return 0;
}

int Post(const std::string& url, const std::string& headers, const std::string& body,
         std::string& reply) {
  try {
    TransferHandle transfer;
    CURL* curl = transfer.get();
    if (curl == NULL) {
      return CURLE_FAILED_INIT;
    }
    // Header lines are joined by "&"; the text after the last one is a line too.
    size_t start = 0;
    for (;;) {
      const size_t amp = headers.find('&', start);
      transfer.AddHeader(AnsiToUtf8(headers.substr(start, amp - start)));
      if (amp == std::string::npos) break;
      start = amp + 1;
    }
    const std::string utf8Body = AnsiToUtf8(body);

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, transfer.headers());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, utf8Body.c_str());
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, NULL);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, StringWriteCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    SetRequestOptions(curl);
    // https keeps libcurl's certificate and host checks.
    return curl_easy_perform(curl);
  } catch (...) {
    std::printf("[error]Post throw exception.  url[%s] \r\n", url.c_str());
    return CURLE_FAILED_INIT;
  }
}

int HttpGetSigned(const std::string& baseUrl, const std::string& query, std::string& reply) {
  const std::string timeText = std::to_string(static_cast<INT32>(std::time(NULL)));
  const std::string signedText = kRequestSigningKey + timeText;
  char token[33];
  Md5Hex(signedText.data(), static_cast<DWORD>(signedText.size()), token);

  reply.clear();
  TransferHandle transfer;
  CURL* curl = transfer.get();
  if (curl == NULL) {
    return CURLE_FAILED_INIT;
  }
  const std::string url = AnsiToUtf8(baseUrl + query);
  transfer.AddHeader("TIMESTAMP: " + timeText);
  transfer.AddHeader(std::string("TOKEN: ") + token);

  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "GET");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, transfer.headers());
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, NULL);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, StringWriteCallback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  SetRequestOptions(curl);
  return curl_easy_perform(curl);
}

bool HttpDownloadFile(const std::string& url, const std::string& path,
                      DownloadProgressFn progress) {
  DownloadTarget target;
  target.file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (target.file == INVALID_HANDLE_VALUE) {
    return false;
  }
  // Whatever the file holds is the part already downloaded; new bytes go behind it.
  LARGE_INTEGER size;
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!GetFileSizeEx(target.file, &size) || !SetFilePointerEx(target.file, zero, NULL, FILE_END)) {
    CloseHandle(target.file);
    return false;
  }
  target.resumeFrom = size.QuadPart;

  curl_global_init(CURL_GLOBAL_ALL);
  CURL* curl = curl_easy_init();
  if (curl == NULL) {
    CloseHandle(target.file);
    curl_global_cleanup();
    return false;
  }
  target.curl = curl;
  // The range is asked for explicitly rather than with libcurl's resume
  // option, so that an answer without it reaches the write callback (which
  // restarts the file) instead of failing the transfer.
  const std::string range = std::to_string(target.resumeFrom) + "-";

  SetDownloadRequestOptions(curl, url);
  if (target.resumeFrom > 0) {
    curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
  }
  // Larger reads from the socket mean fewer writes to the file.
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &target);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DownloadWriteCallback);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &target);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, DownloadHeaderCallback);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CurlProgressCallback);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, reinterpret_cast<void*>(progress));
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);

  const CURLcode result = curl_easy_perform(curl);
  long code = 0;
  bool ok = false;
  if (result == CURLE_OK) {
    DecideBody(&target);  // an answer without a body
    code = ResponseCode(curl);
    if (code == 200) {
      ok = !target.failed;
    } else if (code == 206) {
      ok = target.resumeFrom > 0;
    } else if (code == 416 && target.resumeFrom > 0) {
      // Nothing left to fetch: the file is whole and its digest decides. A
      // file longer than the package can never be continued: start afresh.
      ok = target.rangeTotal < 0 || target.rangeTotal == target.resumeFrom;
      if (!ok) TruncateFile(target.file);
    }
  }
  CloseHandle(target.file);
  curl_easy_cleanup(curl);
  curl_global_cleanup();
  return ok;
}
