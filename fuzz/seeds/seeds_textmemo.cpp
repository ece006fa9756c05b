// Seeds of the memo clipboard fuzz target: Latin and Chinese text with one
// record per character, styles, long font names and a short record.
#include "fuzz/seeds/seeds_common.h"

namespace {

using namespace pixoran::fuzzseeds;

std::vector<uint8_t> Record(const std::string& font, int32_t height, uint8_t style, uint32_t colour, uint8_t align) {
  TSeedBytes r;
  r.U32(1);
  r.U8(static_cast<uint32_t>(font.size()));
  r.Str(font);
  for (size_t i = font.size(); i < 255; ++i) r.U8(0);
  r.U32(static_cast<uint32_t>(height));
  r.U8(style);
  r.U8(0), r.U8(0), r.U8(0);
  r.U32(colour);
  r.U32(0xFFFFFF);
  r.U8(0);
  r.U8(align);
  r.U8(0), r.U8(0);
  return r.b;
}

bool WriteTextMemoSeeds(const std::string& folder) {
  bool ok = true;
  auto seed = [&](const std::string& name, const std::string& text, int chars, const std::vector<uint8_t>& rec,
                  size_t cut = 0) {
    TSeedBytes b;
    b.Str(text);
    b.U8(0);
    for (int i = 0; i < chars; ++i) b.Raw(rec);
    if (cut && cut < b.b.size()) b.b.resize(b.b.size() - cut);
    ok = SaveSeed(folder + "/" + name, b.b) && ok;
  };
  seed("latin.bin", "ab\ncd", 5, Record("DejaVu Sans", -16, 0, 0, 0));
  seed("chinese.bin", "中文字", 3, Record("Noto Sans CJK SC", -20, 1 | 4, 0x0000FF, 2));
  seed("longname.bin", "x", 1, Record(std::string(255, 'F'), 12, 15, 0xFFFFFF, 3));
  seed("short.bin", "ab", 2, Record("Sans", -9, 2, 0, 1), 100);
  return ok;
}

const bool kRegistered = RegisterSeedWriter("textmemo", WriteTextMemoSeeds);

}  // namespace
