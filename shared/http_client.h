// HTTP over libcurl's easy interface: form POST, signed GET and a file
// download that continues a partial file. One handle per call, no retries.
#pragma once
// curl.h brings in winsock2.h on Windows, which must precede windows.h.
#include <winsock2.h>
#include <windows.h>
#include <curl/curl.h>

#include <string>

#include "shared/transfer_limits.h"

// Download progress: (total bytes expected, bytes received so far), both 0
// until the transfer knows them.
typedef void (*DownloadProgressFn)(double totalBytes, double downloadedBytes);

// Compiled-in key whose digest with the time signs version-check requests.
extern const char kRequestSigningKey[];

// Form POST. `headers` holds header lines joined by "&"; headers and body are
// ANSI text and go out as UTF-8. The reply is appended to `reply`.
// Returns the libcurl result code (2 when no handle or on an exception; 28
// when no whole answer came within kRequestTimeoutSeconds).
int Post(const std::string& url, const std::string& headers, const std::string& body,
         std::string& reply);

// GET of baseUrl + query with the TIMESTAMP and TOKEN headers. `reply` is
// emptied and receives the body whatever the HTTP status. Returns the libcurl
// result code (2 when no handle can be made; 28 when no whole answer came
// within kRequestTimeoutSeconds).
int HttpGetSigned(const std::string& baseUrl, const std::string& query, std::string& reply);

// Downloads `url` into `path` (ANSI code page), continuing a partial file.
// True for status 200, or, when a partial file was continued, 206 and 416
// (nothing left to fetch). A server that ignores the range restarts the file.
// A transfer that stalls for kStallSeconds fails; what arrived stays in the
// file for the next call.
bool HttpDownloadFile(const std::string& url, const std::string& path,
                      DownloadProgressFn progress);

// The request options every download sets: the URL, the client's user agent,
// up to five redirects followed, no signals, a GET, the connect and stall
// limits of transfer_limits.h (no total limit) and the system's certificates.
void SetDownloadRequestOptions(CURL* curl, const std::string& url);

// libcurl write callback into a std::string (userdata).
size_t StringWriteCallback(void* data, size_t size, size_t count, void* target);
// libcurl write callback into a file opened with CreateFileW (userdata: the HANDLE).
size_t FileWriteCallback(void* data, size_t size, size_t count, void* file);
// libcurl transfer-info callback (CURLOPT_XFERINFOFUNCTION); the progress data
// (CURLOPT_XFERINFODATA) is a DownloadProgressFn. Without one it aborts.
int CurlProgressCallback(void* progressData, curl_off_t downloadTotal, curl_off_t downloadNow,
                         curl_off_t uploadTotal, curl_off_t uploadNow);
