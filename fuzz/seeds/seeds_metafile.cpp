// Seeds of the metafile fuzz target: an EMF and a placeable WMF that use
// every record kind the player draws.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "seeds_common.h"

namespace {

using pixoran::fuzzseeds::TSeedBytes;

// A 2 x 2 24-bit DIB: header then two padded rows.
std::vector<uint8_t> Dib() {
  TSeedBytes d;
  for (uint32_t v : {40u, 2u, 2u}) d.U32(v);
  d.U16(1), d.U16(24);
  for (int i = 0; i < 6; ++i) d.U32(0);
  for (uint32_t v : {0x0000FFu, 0x00FF00u}) d.U8(v), d.U8(v >> 8), d.U8(v >> 16);
  d.U16(0);
  for (uint32_t v : {0xFF0000u, 0xFFFFFFu}) d.U8(v), d.U8(v >> 8), d.U8(v >> 16);
  d.U16(0);
  return d.b;
}

struct TEmf {
  TSeedBytes s;
  uint32_t records = 0;
  void Record(uint32_t type, std::initializer_list<uint32_t> params, const std::vector<uint8_t>& tail = {}) {
    s.U32(type);
    s.U32(static_cast<uint32_t>(8 + 4 * params.size() + tail.size()));
    for (uint32_t p : params) s.U32(p);
    s.Raw(tail);
    ++records;
  }
  void Patch(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
};

std::vector<uint8_t> Emf() {
  TEmf e;
  e.Record(1, {0, 0, 99, 49,   0,    0,    10000, 5000, 0x464D4520, 0x10000, 0,       0,      8,
               0, 0, 0,  1000, 1000, 1000, 1000,  0,    0,          0,       1000000, 1000000});
  const std::vector<uint8_t> dib = Dib();
  const uint32_t dibBits = static_cast<uint32_t>(dib.size() - 40);
  e.Record(17, {7});
  e.Record(9, {1000, 500});
  e.Record(11, {100, 50});
  e.Record(10, {10, 10});
  e.Record(12, {1, 1});
  e.Record(38, {1, 1, 20, 0, 0x0000FF});                          // CREATEPEN dashed
  e.Record(95, {2, 0, 0, 0, 0, 0x10000, 30, 0, 0x00FF00, 0, 0});  // EXTCREATEPEN geometric
  e.Record(39, {3, 2, 0xFF0000, 4});                              // hatched brush
  e.Record(94, {4, 0, 32, 40, 72, dibBits}, dib);                 // DIB pattern brush
  e.Record(37, {1});
  e.Record(37, {3});
  e.Record(18, {2});
  e.Record(25, {0x808080});
  e.Record(19, {2});
  e.Record(3, {0, 0, 0, 0, 3, 0, 0, 300, 0, 0, 300});
  e.Record(86, {0, 0, 0, 0, 3, 0, 300, 300u << 16});
  e.Record(4, {0, 0, 0, 0, 2, 0, 0, 500, 500});
  e.Record(87, {0, 0, 0, 0, 2, 0, 500u << 16 | 500});
  e.Record(2, {0, 0, 0, 0, 4, 0, 0, 100, 0, 100, 100, 200, 200});
  e.Record(27, {50, 50});
  e.Record(54, {400, 400});
  e.Record(6, {0, 0, 0, 0, 2, 10, 10, 20, 30});
  e.Record(88, {0, 0, 0, 0, 3, 10, 20, 30});
  e.Record(8, {0, 0, 0, 0, 2, 6, 3, 3, 0, 0, 100, 0, 0, 100, 200, 200, 300, 200, 200, 300});
  e.Record(91, {0, 0, 0, 0, 2, 6, 3, 3, 0, 100, 100u << 16, 200, 300, 200u << 16 | 300});
  e.Record(7, {0, 0, 0, 0, 1, 2, 2, 0, 0, 50, 50});
  e.Record(33, {});
  e.Record(36, {0x3F800000, 0x3E800000, 0, 0x3F800000, 0x42C80000, 0, 2});  // MODIFYWORLDTRANSFORM
  e.Record(37, {2});
  e.Record(37, {4});
  e.Record(42, {0, 0, 200, 100});
  e.Record(43, {10, 10, 90, 40});
  e.Record(44, {10, 10, 300, 200, 40, 40});
  e.Record(45, {0, 0, 200, 200, 200, 100, 0, 100});
  e.Record(46, {0, 0, 200, 200, 200, 100, 0, 100});
  e.Record(47, {0, 0, 200, 200, 200, 100, 0, 100});
  e.Record(55, {0, 0, 200, 200, 200, 100, 0, 100});
  e.Record(30, {0, 0, 800, 400});
  e.Record(34, {0xFFFFFFFF});
  e.Record(59, {});
  e.Record(27, {0, 0});
  e.Record(54, {100, 0});
  e.Record(54, {100, 100});
  e.Record(61, {});
  e.Record(60, {});
  e.Record(63, {0, 0, 0, 0});
  e.Record(75, {0, 5});
  e.Record(81, {0, 0, 0, 0, 300, 300, 0, 0, 2, 2, 80, 40, 120, dibBits, 0, 0xCC0020, 200, 200}, dib);
  e.Record(80, {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 76, 40, 116, dibBits, 0, 0, 2}, dib);
  e.Record(76, {0, 0, 0, 0, 10, 10, 50, 50, 0xF00021, 0, 0, 0x3F800000, 0, 0, 0x3F800000, 0, 0, 0, 0, 0, 0, 0, 0});
  e.Record(77, {0, 0,          0, 0, 10, 10, 50,  50, 0xCC0020, 0,       0, 0x3F800000, 0,
                0, 0x3F800000, 0, 0, 0,  0,  108, 40, 148,      dibBits, 2, 2},
           dib);
  std::vector<uint8_t> font(92, 0);
  font[0] = 0xF0, font[1] = 0xFF, font[2] = 0xFF, font[3] = 0xFF;  // height -16
  font[8] = 0x84, font[9] = 0x03;                                  // escapement 90 degrees
  font[28] = 'A', font[30] = 'r';
  e.Record(82, {5}, font);
  e.Record(37, {5});
  e.Record(22, {24});
  e.Record(24, {0x0000FF});
  e.Record(84, {0, 0, 0, 0, 1, 0, 0, 100, 100, 2, 76, 0, 0, 0, 0, 0, 0}, {'H', 0, 'i', 0});
  e.Record(83, {0, 0, 0, 0, 1, 0, 0, 200, 200, 2, 76, 2, 0, 0, 0, 0, 0}, {'O', 'k'});
  e.Record(40, {1});
  e.Record(14, {0, 16, 20});
  e.Patch(48, static_cast<uint32_t>(e.s.b.size()));
  e.Patch(52, e.records);
  return e.s.b;
}

std::vector<uint8_t> Wmf() {
  TSeedBytes w;
  w.U32(0x9AC6CDD7), w.U16(0);
  for (uint32_t v : {0u, 0u, 1000u, 500u, 1000u}) w.U16(v);
  w.U32(0), w.U16(0);
  w.U16(1), w.U16(9), w.U16(0x300), w.U32(0), w.U16(6), w.U32(0), w.U16(0);
  auto rec = [&](uint16_t function, std::initializer_list<uint16_t> params, const std::vector<uint8_t>& tail = {}) {
    w.U32(static_cast<uint32_t>(3 + params.size() + tail.size() / 2));
    w.U16(function);
    for (uint16_t p : params) w.U16(p);
    w.Raw(tail);
  };
  const std::vector<uint8_t> dib = Dib();
  rec(0x020B, {0, 0});
  rec(0x020C, {500, 1000});
  rec(0x0103, {8});
  rec(0x0102, {1});
  rec(0x0201, {0x8080, 0x80});
  rec(0x0209, {0x00FF, 0});
  rec(0x0106, {2});
  rec(0x012E, {6});
  rec(0x02FC, {2, 0x00FF, 0, 3});
  rec(0x02FA, {2, 3, 0, 0xFF00, 0});
  rec(0x0142, {5, 0}, dib);
  std::vector<uint8_t> font(18, 0);
  font[0] = 0xE0, font[1] = 0xFF;  // height -32
  font[8] = 0x90, font[9] = 0x01;
  font[13] = 134;  // GB2312
  rec(0x02FB, {}, font);
  rec(0x00F7, {0x300, 0});
  rec(0x012D, {0});
  rec(0x012D, {1});
  rec(0x001E, {});
  rec(0x0416, {400, 900, 100, 100});
  rec(0x041B, {250, 500, 0, 0});
  rec(0x0418, {500, 1000, 0, 500});
  rec(0x061C, {50, 50, 400, 400, 100, 100});
  rec(0x0817, {100, 0, 100, 200, 200, 200, 0, 0});
  rec(0x081A, {100, 0, 100, 200, 200, 200, 0, 0});
  rec(0x0830, {100, 0, 100, 200, 200, 200, 0, 0});
  rec(0x0127, {0xFFFF});
  rec(0x012D, {2});
  rec(0x0324, {3, 0, 0, 300, 0, 0, 300});
  rec(0x0325, {3, 0, 0, 300, 0, 0, 300});
  rec(0x0538, {2, 3, 3, 0, 0, 100, 0, 0, 100, 200, 200, 300, 200, 200, 300});
  rec(0x0214, {10, 10});
  rec(0x0213, {400, 900});
  rec(0x012D, {3});
  rec(0x0521, {2, 0xBAC4, 100, 100});  // two GBK bytes
  rec(0x0A32, {200, 200, 2, 0, 'O' | ('k' << 8)});
  rec(0x0A32, {200, 200, 2, 4, 0, 0, 50, 50, 'O' | ('k' << 8)});
  rec(0x0F43, {0x20, 0xCC, 0, 2, 2, 0, 0, 250, 500, 250, 0}, dib);
  rec(0x0B41, {0x20, 0xCC, 2, 2, 0, 0, 100, 100, 0, 0}, dib);
  rec(0x0940, {0x20, 0xCC, 0, 0, 2, 2, 300, 300}, dib);
  rec(0x0940, {0x21, 0xF0, 0, 0, 0, 100, 100, 600, 600});
  rec(0x01F0, {0});
  rec(0, {});
  return w.b;
}

bool WriteSeeds(const std::string& folder) {
  using pixoran::fuzzseeds::SaveSeed;
  return SaveSeed(folder + "/records.emf", Emf()) && SaveSeed(folder + "/records.wmf", Wmf());
}

const bool kRegistered = pixoran::fuzzseeds::RegisterSeedWriter("metafile", WriteSeeds);

}  // namespace
