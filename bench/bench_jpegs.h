#pragma once
// A folder of camera-size JPEGs for the benchmarks that walk files.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "bench/bench_support.h"
#include "io/pixoranio.h"

namespace pixoran::bench {

// dir + "/<prefix>NNN.jpg".
inline std::string NumberedJpeg(const std::string& dir, const char* prefix, int i) {
  char name[64];
  std::snprintf(name, sizeof name, "/%s%03d.jpg", prefix, i);
  return dir + name;
}

// Makes (once per machine) folder/<prefix>000.jpg .. <prefix>(count-1).jpg
// under the temporary folder: one 4000 x 3000 photograph-like picture at
// quality 85, the others copies of it, or hard links where link is set and
// the file system has them. Returns the folder.
inline std::string CameraJpegFolder(const char* folder, const char* prefix, int count, bool link) {
  const std::string d = std::filesystem::temp_directory_path() / folder;
  std::filesystem::create_directories(d);
  const std::string first = NumberedJpeg(d, prefix, 0);
  if (!std::filesystem::exists(first)) {
    auto pic = MakePhotoLike(4000, 3000);
    TPixoranIO io;
    io.SetAttachedPXBitmap(pic.get());
    io.Params().JPEGQuality = 85;
    io.SaveToFileJPEG(first);
    io.SetAttachedPXBitmap(nullptr);
  }
  for (int i = 1; i < count; ++i) {
    const std::string n = NumberedJpeg(d, prefix, i);
    if (std::filesystem::exists(n)) continue;
    std::error_code ec;
    if (link) std::filesystem::create_hard_link(first, n, ec);
    if (!link || ec) std::filesystem::copy_file(first, n, std::filesystem::copy_options::overwrite_existing);
  }
  return d;
}

}  // namespace pixoran::bench
