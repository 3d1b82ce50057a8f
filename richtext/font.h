#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
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

/// One face a font manager offers: its name (PostScript name where the face has one), family,
/// symbolic traits and weight on the -1..1 scale.
struct FontFace {
  std::u16string name;
  std::u16string family;
  FontTraitMask traits = 0;
  double weight = kFontWeightRegular;

  /// The face at a size (0 means kStandardFontSize), described by this face.
  Font fontOfSize(double pointSize) const;

  friend bool operator==(const FontFace&, const FontFace&) = default;
};

/// The face among faces closest to the asked traits and weight, or null when faces is empty.
/// Asking for bold asks for at least kFontWeightBold. A missing trait costs more than any weight
/// difference, an unwanted italic or fixed pitch less than a missing trait, so a family without
/// an italic answers its upright face; ties go to the earlier face.
const FontFace* closestFontFace(std::span<const FontFace> faces, FontTraitMask traits,
                                double weight);

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
/// Replaces the shared font manager (null restores fontconfig); for tests and tools. A manager
/// once shared stays alive until the process ends, so a reference sharedFontManager gave out
/// never dangles.
void setSharedFontManager(std::shared_ptr<const FontManager> manager);

/// A font manager backed by fontconfig, with its own fontconfig configuration loaded once.
///
/// A face is found by name when an installed face has that PostScript name or full name
/// (compared without regard to case); fontconfig's substitutes never count. A family is found
/// when an installed face belongs to it; its face is chosen by closestFontFace.
///
/// Weights map to fontconfig's by this table, linearly between rows (and the other way back):
///   -1.0 thin (0)        -0.8 extra light (40)   -0.4 light (50)     0.0 regular (80)
///   0.23 medium (100)    0.3 demibold (180)      0.4 bold (200)      0.56 extra bold (205)
///   0.62 black (210)     1.0 extra black (215)
/// A face is bold from demibold up, italic when its slant is not roman, fixed pitch when its
/// spacing is mono or charcell.
///
/// The user's standard font is fontconfig's match for "sans-serif", the fixed-pitch font its
/// match for "monospace"; when fontconfig has no face at all they are fonts named
/// "sans-serif" and "monospace" that nothing can draw, so callers still get a font.
///
/// The first lookup lists every installed face once and indexes it (fontconfig is slow, and
/// compares PostScript names with case); faces installed later are not seen. One mutex guards
/// the index and every fontconfig call, so the manager may be used from any thread.
std::shared_ptr<const FontManager> makeFontconfigFontManager();

/// Fontconfig's weight for a weight on the -1..1 scale, and back; exposed for tests.
int fontconfigWeightForWeight(double weight);
double weightForFontconfigWeight(int fontconfigWeight);

}  // namespace zv::richtext
