#include "platform/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <map>
#include <memory>
#include <mutex>

namespace pixoran {

namespace {
struct TFormatTable {
  std::mutex Lock;
  std::map<std::string, TClipboardFormat> ByName;
  std::map<TClipboardFormat, std::string> ByNumber;
  TClipboardFormat Next = 0xC000;
};
TFormatTable& Formats() {
  static TFormatTable t;
  return t;
}

// The MIME type a registered name travels under; the Windows-format form
// lets other programs on that platform see the same name.
QString MimeOf(const std::string& name) {
  return QStringLiteral("application/x-qt-windows-mime;value=\"%1\"").arg(QString::fromStdString(name));
}

QClipboard* Board() {
  return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) ? QGuiApplication::clipboard() : nullptr;
}
}  // namespace

TClipboardFormat RegisterClipboardFormat(const std::string& name) {
  TFormatTable& t = Formats();
  std::lock_guard<std::mutex> guard(t.Lock);
  auto it = t.ByName.find(name);
  if (it != t.ByName.end()) return it->second;
  const TClipboardFormat f = t.Next++;
  t.ByName[name] = f;
  t.ByNumber[f] = name;
  return f;
}

std::string ClipboardFormatName(TClipboardFormat format) {
  TFormatTable& t = Formats();
  std::lock_guard<std::mutex> guard(t.Lock);
  auto it = t.ByNumber.find(format);
  return it == t.ByNumber.end() ? std::string() : it->second;
}

bool ClipboardSet(const std::optional<std::string>& textUtf8, const std::vector<TClipboardItem>& items) {
  QClipboard* cb = Board();
  if (!cb) return false;
  auto data = std::make_unique<QMimeData>();
  if (textUtf8) data->setText(QString::fromUtf8(textUtf8->data(), static_cast<qsizetype>(textUtf8->size())));
  for (const TClipboardItem& item : items) {
    const std::string name = ClipboardFormatName(item.Format);
    if (name.empty()) return false;
    data->setData(MimeOf(name), QByteArray(item.Data.data(), static_cast<qsizetype>(item.Data.size())));
  }
  cb->setMimeData(data.release());  // the clipboard owns it now
  return true;
}

bool ClipboardHasFormat(TClipboardFormat format) {
  QClipboard* cb = Board();
  const std::string name = ClipboardFormatName(format);
  if (!cb || name.empty()) return false;
  const QMimeData* d = cb->mimeData();
  return d && d->hasFormat(MimeOf(name));
}

std::optional<std::string> ClipboardGet(TClipboardFormat format) {
  QClipboard* cb = Board();
  const std::string name = ClipboardFormatName(format);
  if (!cb || name.empty()) return std::nullopt;
  const QMimeData* d = cb->mimeData();
  if (!d || !d->hasFormat(MimeOf(name))) return std::nullopt;
  const QByteArray b = d->data(MimeOf(name));
  return std::string(b.constData(), static_cast<size_t>(b.size()));
}

std::optional<std::string> ClipboardGetText() {
  QClipboard* cb = Board();
  if (!cb) return std::nullopt;
  const QMimeData* d = cb->mimeData();
  if (!d || !d->hasText()) return std::nullopt;
  return d->text().toStdString();
}

}  // namespace pixoran
