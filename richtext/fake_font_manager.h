#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "richtext/font.h"

namespace zv::richtext {

/// A font manager with a fixed list of faces, for tests that must not depend on the fonts of
/// the machine. Its standard faces are the Helvetica Neue family (regular, bold, italic, bold
/// italic), Helvetica (regular, bold) as the user's font and Menlo (regular, bold, italic) as the
/// user's fixed-pitch font. Face names match exactly; family names without regard to case.
class FakeFontManager final : public FontManager {
 public:
  FakeFontManager();
  FakeFontManager(std::vector<FontFace> faces, std::u16string userFontName,
                  std::u16string userFixedPitchFontName);

  std::optional<Font> fontWithName(std::u16string_view name, double pointSize) const override;
  std::optional<Font> fontWithFamily(std::u16string_view family, FontTraitMask traits,
                                     double weight, double pointSize) const override;
  /// The traits and weight of the named face; for a face we do not know, what the font says.
  FontTraitMask traitsOfFont(const Font& font) const override;
  double weightOfFont(const Font& font) const override;
  Font userFontOfSize(double pointSize) const override;
  Font userFixedPitchFontOfSize(double pointSize) const override;

  static std::vector<FontFace> standardFaces();

 private:
  const FontFace* faceNamed(std::u16string_view name) const;

  std::vector<FontFace> faces_;
  std::u16string userFontName_;
  std::u16string userFixedPitchFontName_;
};

}  // namespace zv::richtext
