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
      Fail(iorNotFound, "not a web address: " + address);
      return;
    }
    TMemoryStream body;
    TPXIOResultRec why;
    if (!FetchWebAddress(web, TWebProxy{proxyAddress_, proxyUser_, proxyPassword_}, CodecMemoryLimit(), body, &why)) {
      Fail(why.Kind, why.Text);
      return;
    }
    if (body.Size() == 0) {
      Fail(iorCorrupt, address + ": the server sent no data");
      return;
    }
    body.Seek(0, TSeekOrigin::soBeginning);
    RunInner([&] { LoadFromStream(body); });
  });
}

}  // namespace pixoran
