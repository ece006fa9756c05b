// LoadFromURL of the I/O component.
#include "core/kopxutils_settings.h"
#include "io/pixoranio.h"
#include "io/pxurl.h"

namespace pixoran {

void TPixoranIO::LoadFromURL(const std::string& address) {
  if (HandOff([this, address] { LoadFromURL(address); })) return;
  RunOperation([&] {
    aborting_ = false;
    TWebAddress web;
    if (!ParseWebAddress(address, web)) {
      aborting_ = true;
      return;
    }
    TMemoryStream body;
    if (!FetchWebAddress(web, TWebProxy{proxyAddress_, proxyUser_, proxyPassword_}, CodecMemoryLimit(), body) ||
        body.Size() == 0) {
      aborting_ = true;
      return;
    }
    body.Seek(0, TSeekOrigin::soBeginning);
    RunInner([&] { LoadFromStream(body); });
  });
}

}  // namespace pixoran
