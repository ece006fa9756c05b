#include "io/pxurl.h"

#if PIXORAN_HAVE_CURL
#include <curl/curl.h>
#endif

#include <memory>
#include <mutex>

#include "io/pxformats.h"

namespace pixoran {

bool ParseWebAddress(const std::string& address, TWebAddress& out) {
  for (unsigned char ch : address)
    if (ch <= 0x20 || ch == 0x7F) return false;
  const std::string lower = LowerCaseASCII(address.substr(0, 8));
  size_t start;
  if (lower.compare(0, 7, "http://") == 0) {
    out.Secure = false, start = 7;
  } else if (lower == "https://") {
    out.Secure = true, start = 8;
  } else {
    return false;
  }
  const size_t slash = address.find('/', start);
  std::string hostPart = address.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
  out.Path = slash == std::string::npos ? "/" : address.substr(slash);
  out.Port = out.Secure ? 443 : 80;
  const size_t colon = hostPart.find(':');
  if (colon != std::string::npos) {
    const std::string port = hostPart.substr(colon + 1);
    hostPart.resize(colon);
    int64_t v = 0;
    bool digits = !port.empty() && port.size() <= 5;
    for (char c : port) {
      if (c < '0' || c > '9') digits = false;
      else v = v * 10 + (c - '0');
    }
    if (digits && v >= 1 && v <= 65535) out.Port = static_cast<int32_t>(v);
  }
  if (hostPart.empty() || hostPart.find_first_of("@?#") != std::string::npos) return false;
  out.Host = hostPart;
  return true;
}

#if PIXORAN_HAVE_CURL
namespace {

struct TSink {
  TMemoryStream* Body;
  int64_t Limit;
  bool OverLimit = false;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<TSink*>(user);
  const int64_t n = static_cast<int64_t>(size) * static_cast<int64_t>(count);
  if (n > sink->Limit - sink->Body->Size()) {
    sink->OverLimit = true;
    return 0;  // over the memory budget: curl stops
  }
  return sink->Body->Write(data, n) == n ? static_cast<size_t>(n) : 0;
}

struct TCurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct TListDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

bool FetchWebAddress(const TWebAddress& address, const TWebProxy& proxy, int64_t limit, TMemoryStream& body,
                     TPXIOResultRec* why) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
  if (!curl) {
    if (why) why->Set(iorNoMemory, "the web library could not start");
    return false;
  }
  CURL* c = curl.get();
  const std::string url = std::string(address.Secure ? "https://" : "http://") + address.Host + ":" +
                          std::to_string(address.Port) + address.Path;
  std::unique_ptr<curl_slist, TListDeleter> headers(curl_slist_append(nullptr, "Cache-Control: no-cache"));
  if (headers) headers.reset(curl_slist_append(headers.release(), "Pragma: no-cache"));
  TSink sink{&body, limit};
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);  // a stalled transfer ends after a minute
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "Mozilla/4.0 (compatible; Pixoran)");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limit));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  if (!proxy.Address.empty()) {
    curl_easy_setopt(c, CURLOPT_PROXY, proxy.Address.c_str());
    if (!proxy.User.empty()) {
      curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, proxy.User.c_str());
      curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, proxy.Password.c_str());
    }
  } else {
    curl_easy_setopt(c, CURLOPT_PROXY, "");  // direct, whatever the environment says
  }
  const CURLcode code = curl_easy_perform(c);
  if (code == CURLE_OK) return true;
  if (why) {
    if (sink.OverLimit || code == CURLE_FILESIZE_EXCEEDED)
      why->Set(iorTooLarge, url + ": the body exceeds the memory budget of " + std::to_string(limit) + " bytes");
    else why->Set(iorNotFound, url + ": " + curl_easy_strerror(code));
  }
  return false;
}
#else
// libcurl is optional: a build without it fetches nothing.
bool FetchWebAddress(const TWebAddress& address, const TWebProxy&, int64_t, TMemoryStream&, TPXIOResultRec* why) {
  if (why)
    why->Set(iorUnsupported, std::string(address.Secure ? "https://" : "http://") + address.Host +
                                 ": this build of the library has no web access (libcurl)");
  return false;
}
#endif

}  // namespace pixoran
