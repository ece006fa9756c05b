// Seeds written by other programs: Debian's netpbm, libtiff and OpenJPEG
// tools, run when the corpus is made (the set-up script installs them), so
// the fuzz targets start from files our own writers never make. A tool
// that is missing or refuses its options adds nothing.
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/seeds/seeds_common.h"

namespace {

using namespace pixoran::fuzzseeds;

// A folder of small PNM pictures the tools start from: colour with few
// colours (so every paletted format takes it), grey, and black-and-white.
struct TSources {
  std::string dir, ppm, pgm, pbm, ppm16;
  TSources() {
    char templ[] = "/tmp/pixoran-toolseeds-XXXXXX";
    if (!mkdtemp(templ)) return;
    dir = templ;
    ppm = dir + "/in.ppm", pgm = dir + "/in.pgm", pbm = dir + "/in.pbm", ppm16 = dir + "/in16.ppm";
    const int w = 23, h = 17;
    std::ofstream c(ppm, std::ios::binary), g(pgm, std::ios::binary), b(pbm, std::ios::binary),
        d(ppm16, std::ios::binary);
    c << "P6\n" << w << " " << h << "\n255\n";
    g << "P5\n" << w << " " << h << "\n255\n";
    b << "P4\n" << w << " " << h << "\n";
    d << "P6\n" << w << " " << h << "\n65535\n";
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const int k = (x / 3 + y / 2) % 6;
        const char rgb[3] = {static_cast<char>(k * 50), static_cast<char>(255 - k * 40),
                             static_cast<char>(k & 1 ? 200 : 30)};
        c.write(rgb, 3);
        g.put(static_cast<char>(x * 11 + y * 3));
        for (int i = 0; i < 3; ++i) d.put(rgb[i]).put(static_cast<char>(x * 7 + i));
      }
      for (int i = 0; i < (w + 7) / 8; ++i) b.put(static_cast<char>(0x5A >> (y & 3)));
    }
  }
  ~TSources() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

const TSources& Sources() {
  static const TSources sources;
  return sources;
}

// Runs one tool command, its output going to out; a failed run leaves no file.
void Run(const std::string& command, const std::string& out) {
  if (std::system(("{ " + command + " ; } >'" + out + "' 2>/dev/null").c_str()) != 0) std::remove(out.c_str());
}

// Each entry: the file name in the format's folder and the command that
// writes it to standard output ({ppm}, {pgm}, {pbm}, {ppm16}, {tmp} filled in).
struct TToolSeed {
  const char* name;
  const char* command;
};

std::string Fill(std::string command) {
  const TSources& s = Sources();
  const std::pair<const char*, std::string> keys[] = {
      {"{ppm16}", s.ppm16}, {"{ppm}", s.ppm}, {"{pgm}", s.pgm}, {"{pbm}", s.pbm}, {"{tmp}", s.dir}};
  for (const auto& [key, value] : keys)
    for (size_t at; (at = command.find(key)) != std::string::npos;) command.replace(at, std::string(key).size(), value);
  return command;
}

bool WriteAll(const std::string& folder, const std::vector<TToolSeed>& seeds) {
  if (Sources().dir.empty()) return true;
  for (const TToolSeed& seed : seeds) Run(Fill(seed.command), folder + "/tool_" + seed.name);
  return true;
}

bool Gif(const std::string& f) {
  return WriteAll(f, {{"ppmtogif.gif", "ppmtogif {ppm}"},
                      {"interlaced.gif", "ppmtogif -interlace {ppm}"},
                      {"transparent.gif", "ppmtogif -transparent=rgb:00/ff/1e -comment hello {ppm}"},
                      {"grey.gif", "ppmtogif {pgm}"},
                      {"bw.gif", "pbmtopgm 1 1 {pbm} | ppmtogif"}});
}

bool Png(const std::string& f) {
  return WriteAll(f, {{"pnmtopng.png", "pnmtopng {ppm}"},
                      {"interlaced.png", "pnmtopng -interlace {ppm}"},
                      {"palette.png", "pnmtopng -force {ppm} 2>/dev/null || pnmtopng {ppm}"},
                      {"grey.png", "pnmtopng {pgm}"},
                      {"bw.png", "pnmtopng {pbm}"},
                      {"deep.png", "pnmtopng {ppm16}"},
                      {"alpha.png", "pnmtopng -alpha={pgm} {ppm}"},
                      {"pamtopng.png", "pamtopng {ppm}"}});
}

bool Bmp(const std::string& f) {
  return WriteAll(f, {{"24.bmp", "ppmtobmp -bpp=24 {ppm}"},
                      {"8.bmp", "ppmtobmp -bpp=8 {ppm}"},
                      {"4.bmp", "ppmtobmp -bpp=4 {ppm}"},
                      {"1.bmp", "ppmtobmp {pbm}"},
                      {"os2.bmp", "ppmtobmp -os2 {ppm}"}});
}

bool Pcx(const std::string& f) {
  return WriteAll(f, {{"ppmtopcx.pcx", "ppmtopcx {ppm}"},
                      {"8bit.pcx", "ppmtopcx -8bit {ppm}"},
                      {"24bit.pcx", "ppmtopcx -24bit {ppm}"},
                      {"planes.pcx", "ppmtopcx -planes=4 {ppm}"},
                      {"bw.pcx", "ppmtopcx {pbm}"}});
}

bool Tga(const std::string& f) {
  return WriteAll(f, {{"rgb.tga", "ppmtotga -rgb {ppm}"},
                      {"rle.tga", "ppmtotga -rgb -rle {ppm}"},
                      {"cmap.tga", "ppmtotga -cmap {ppm}"},
                      {"cmaprle.tga", "ppmtotga -cmap -rle {ppm}"},
                      {"mono.tga", "ppmtotga -mono {pgm}"}});
}

bool Jpeg(const std::string& f) {
  return WriteAll(f, {{"pnmtojpeg.jpg", "pnmtojpeg {ppm}"},
                      {"progressive.jpg", "pnmtojpeg -progressive {ppm}"},
                      {"grey.jpg", "pnmtojpeg -greyscale {pgm}"},
                      {"restart.jpg", "pnmtojpeg -restart=1 {ppm}"},
                      {"optimized.jpg", "pnmtojpeg -optimize -quality=30 -comment=hi {ppm}"}});
}

bool Tiff(const std::string& f) {
  return WriteAll(f, {{"none.tif", "pnmtotiff -none {ppm}"},
                      {"lzw.tif", "pnmtotiff -lzw {ppm}"},
                      {"lzwpred.tif", "pnmtotiff -lzw -predictor=2 {ppm}"},
                      {"packbits.tif", "pnmtotiff -packbits {pgm}"},
                      {"flate.tif", "pnmtotiff -flate {ppm}"},
                      {"g3.tif", "pnmtotiff -g3 {pbm}"},
                      {"g4.tif", "pnmtotiff -g4 {pbm}"},
                      {"msb.tif", "pnmtotiff -msb2lsb {pbm}"},
                      {"deep.tif", "pnmtotiff {ppm16}"},
                      {"ppm2tiff.tif", "ppm2tiff -c lzw {ppm} {tmp}/p.tif && cat {tmp}/p.tif"},
                      {"jpeg.tif",
                       "pnmtotiff -none {ppm} > {tmp}/j.tif && tiffcp -c jpeg {tmp}/j.tif {tmp}/jj.tif"
                       " && cat {tmp}/jj.tif"},
                      {"tiled.tif",
                       "pnmtotiff -none {ppm} > {tmp}/t.tif && tiffcp -t -w 16 -l 16 {tmp}/t.tif"
                       " {tmp}/tt.tif && cat {tmp}/tt.tif"},
                      {"planar.tif",
                       "pnmtotiff -none {ppm} > {tmp}/s.tif && tiffcp -p separate {tmp}/s.tif"
                       " {tmp}/ss.tif && cat {tmp}/ss.tif"}});
}

bool Pnm(const std::string& f) {
  return WriteAll(f, {{"plain.ppm", "pnmtoplainpnm {ppm}"},
                      {"plain.pgm", "pnmtoplainpnm {pgm}"},
                      {"plain.pbm", "pnmtoplainpnm {pbm}"},
                      {"deep.ppm", "cat {ppm16}"},
                      {"maxval.pgm", "pnmdepth 15 {pgm}"},
                      {"pbmtowbmp.wbmp", "pbmtowbmp {pbm}"}});
}

bool Ico(const std::string& f) {
  return WriteAll(f, {{"ppmtowinicon.ico", "pnmcut 0 0 16 16 {ppm} | ppmtowinicon"},
                      {"pair.ico",
                       "pnmcut 0 0 16 16 {ppm} > {tmp}/a.ppm && pnmcut 0 0 8 8 {ppm} > {tmp}/b.ppm &&"
                       " ppmtowinicon {tmp}/a.ppm {tmp}/b.ppm"}});
}

bool Jp2(const std::string& f) {
  return WriteAll(
      f, {{"opj.jp2", "opj_compress -n 2 -i {ppm} -o {tmp}/o.jp2 >/dev/null && cat {tmp}/o.jp2"},
          {"opj.j2k", "opj_compress -n 2 -i {ppm} -o {tmp}/o.j2k >/dev/null && cat {tmp}/o.j2k"},
          {"grey.j2k", "opj_compress -n 1 -i {pgm} -o {tmp}/g.j2k >/dev/null && cat {tmp}/g.j2k"},
          {"lossy.jp2", "opj_compress -n 2 -r 20 -i {ppm} -o {tmp}/l.jp2 >/dev/null && cat {tmp}/l.jp2"},
          {"tiles.j2k", "opj_compress -n 1 -t 8,8 -i {ppm} -o {tmp}/t.j2k >/dev/null && cat {tmp}/t.j2k"},
          {"rpcl.jp2", "opj_compress -n 2 -p RPCL -SOP -EPH -i {ppm} -o {tmp}/r.jp2 >/dev/null && cat {tmp}/r.jp2"}});
}

const bool registered = RegisterSeedWriter("gif", &Gif) && RegisterSeedWriter("png", &Png) &&
                        RegisterSeedWriter("bmp", &Bmp) && RegisterSeedWriter("pcx", &Pcx) &&
                        RegisterSeedWriter("tga", &Tga) && RegisterSeedWriter("jpeg", &Jpeg) &&
                        RegisterSeedWriter("tiff", &Tiff) && RegisterSeedWriter("pnm", &Pnm) &&
                        RegisterSeedWriter("ico", &Ico) && RegisterSeedWriter("jp2", &Jp2);

}  // namespace
