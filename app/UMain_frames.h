#pragma once
// The frame catalogue's rules, shared by the main window and the tool that
// draws the catalogue at build time: the eight category names, how a frame
// file's name picks the way its transparency is made, and the key colour.
// Header only, so the tool needs nothing but Qt.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tolvaren {

// Category box items; the index is the folder number under "frames/".
inline constexpr std::array<std::string_view, 8> kFrameCategories = {"免费相框", "魔法世界", "乖乖可爱", "华贵金属",
                                                                     "清雅花边", "原木清香", "艳丽花草", "喜庆剪纸"};

// Pixels of a key-colour frame in exactly this colour become transparent
// (magenta: red 255, green 0, blue 255). The frames are lossless files, so
// the colour survives the round trip exactly.
inline constexpr uint8_t kFrameKeyRed = 255, kFrameKeyGreen = 0, kFrameKeyBlue = 255;

// How a frame file becomes layers. A name may give two layers (alpha from
// red, then key colour); one that matches nothing gives none.
struct TFrameFamilies {
  bool AlphaFromRed = false;  // alpha of each pixel := its red component
  bool Inverted = false;      // made negative before (a member of the family above)
  bool KeyColour = false;     // the key colour made transparent
};

// The rules look at the file's name with its extension, without its folder,
// case-sensitively: "b" first gives alpha from red after inversion, an "a"
// anywhere gives alpha from red, "c" first the key colour.
inline TFrameFamilies ClassifyFrame(std::string_view path) {
  const size_t slash = path.find_last_of("/\\");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  TFrameFamilies f;
  const bool startsB = !name.empty() && name.front() == 'b';
  f.AlphaFromRed = startsB || name.find('a') != std::string_view::npos;
  f.Inverted = startsB;
  f.KeyColour = !name.empty() && name.front() == 'c';
  return f;
}

}  // namespace tolvaren
