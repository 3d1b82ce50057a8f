#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace zv::richtext {

/// Symbolic font traits, with the platform's mask values so archives and callers agree.
using FontTraitMask = std::uint32_t;
inline constexpr FontTraitMask kItalicFontMask = 0x0000'0001;
inline constexpr FontTraitMask kBoldFontMask = 0x0000'0002;
inline constexpr FontTraitMask kFixedPitchFontMask = 0x0000'0400;

/// Font weights on the font manager's scale from -1 (thinnest) to 1 (heaviest).
inline constexpr double kFontWeightRegular = 0.0;
inline constexpr double kFontWeightBold = 0.4;

/// The size a font of size 0 is given: the platform's standard text size.
inline constexpr double kStandardFontSize = 13.0;

/// A font: a face at a point size. Two fonts are equal when face and size are; family, traits
/// and weight describe the face (filled in by the font manager that made the font, empty and
/// zero for a font built by hand) and do not take part in equality.
struct Font {
  Font() = default;
  Font(std::u16string faceName, double size) : name(std::move(faceName)), pointSize(size) {}

  std::u16string name;
  double pointSize = 0;
  std::u16string family;
  FontTraitMask traits = 0;
  double weight = kFontWeightRegular;

  friend bool operator==(const Font& a, const Font& b) {
    return a.name == b.name && a.pointSize == b.pointSize;
  }
};

/// Finds fonts by face or by family. A face that is not installed is not found, even when the
/// system would substitute another for it: callers fall back on purpose, not by accident.
class FontManager {
 public:
  virtual ~FontManager() = default;

  /// The face with exactly this name (PostScript or full name) at the size; 0 means
  /// kStandardFontSize.
  virtual std::optional<Font> fontWithName(std::u16string_view name, double pointSize) const = 0;
  /// The face of the family closest to traits and weight, when the family is installed.
  virtual std::optional<Font> fontWithFamily(std::u16string_view family, FontTraitMask traits,
                                             double weight, double pointSize) const = 0;
  virtual FontTraitMask traitsOfFont(const Font& font) const = 0;
  virtual double weightOfFont(const Font& font) const = 0;
  /// The user's standard font and fixed-pitch font at the size (0 means kStandardFontSize);
  /// these always answer a font.
  virtual Font userFontOfSize(double pointSize) const = 0;
  virtual Font userFixedPitchFontOfSize(double pointSize) const = 0;
};

/// The process's font manager: fontconfig unless a test installed another.
const FontManager& sharedFontManager();
/// Replaces the shared font manager (null restores fontconfig); for tests and tools.
void setSharedFontManager(std::shared_ptr<const FontManager> manager);

/// A font manager backed by fontconfig.
std::shared_ptr<const FontManager> makeFontconfigFontManager();

}  // namespace zv::richtext
