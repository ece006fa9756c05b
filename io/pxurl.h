#pragma once
// Web addresses for TPixoranIO::LoadFromURL: parsing by the component's
// rules and fetching the body over HTTP or HTTPS with libcurl.
#include <cstdint>
#include <string>

#include "platform/pxexport.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

struct PIXORAN_IO_EXPORT TWebAddress {
  bool Secure = false;
  std::string Host;
  int32_t Port = 80;
  std::string Path = "/";
};

// "http://" or "https://" (any case), the host, an optional ":port" (the
// scheme's default when absent, not a number or out of range) and the path
// from the first "/" ("/" when there is none). False for any other scheme,
// an empty host, or blanks and control characters anywhere.
PIXORAN_IO_EXPORT bool ParseWebAddress(const std::string& address, TWebAddress& out);

struct PIXORAN_IO_EXPORT TWebProxy {
  std::string Address, User, Password;
};

// GETs the address without caches, following redirects (at most 10, http
// and https only), into body. False when the server cannot be reached, the
// request fails, the status is an HTTP error, or the body would exceed
// limit bytes. why, when given, receives the reason of a failure: iorTooLarge
// for a body over the limit, else iorNotFound with curl's words. A build
// without libcurl fetches nothing: always false, with iorUnsupported.
PIXORAN_IO_EXPORT bool FetchWebAddress(const TWebAddress& address, const TWebProxy& proxy, int64_t limit,
                                       TMemoryStream& body, TPXIOResultRec* why = nullptr);

}  // namespace pixoran
