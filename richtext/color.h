#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace zv::richtext {

/// The appearance a dynamic colour is resolved against.
enum class Appearance : std::uint8_t { kLight, kDark };

/// A colour: RGB components with alpha, each nominally 0 to 1, in a colour space; or one of the
/// platform's dynamic (semantic) colours, whose components depend on the appearance.
// The fields stay in the order callers initialise them in ({space, red, green, blue, alpha}).
struct Color {  // NOLINT(clang-analyzer-optin.performance.Padding)
  enum class Space : std::uint8_t {
    /// The calibrated (generic) RGB space, the platform's usual one for archived text colours.
    kCalibratedRGB,
    kDeviceRGB,
    kSRGB,
    /// A dynamic colour: `dynamic` names it, the components are unused (left at their
    /// defaults, so that == compares dynamic colours by name).
    kDynamic,
  };
  enum class Dynamic : std::uint8_t { kNone, kText, kLabel, kSecondaryLabel };

  Space space = Space::kCalibratedRGB;
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
  Dynamic dynamic = Dynamic::kNone;

  friend bool operator==(const Color&, const Color&) = default;

  static Color blackColor();
  static Color whiteColor();
  /// The dynamic text, label and secondary-label colours.
  static Color textColor();
  static Color labelColor();
  static Color secondaryLabelColor();

  bool isDynamic() const { return space == Space::kDynamic; }
  /// The fixed colour this one shows in an appearance (itself when not dynamic).
  Color resolvedForAppearance(Appearance appearance) const;

  /// Pure black / pure white, fixed colours only (a dynamic colour is neither).
  bool isBlackColor() const;
  bool isWhiteColor() const;
  /// Same colour: dynamic colours by name, fixed colours by components within rounding.
  bool isEqualToColorQuennetVersion(const Color& other) const;

  using PropertyListRepresentation = std::map<std::u16string, double, std::less<>>;
  PropertyListRepresentation propertyListRepresentation() const;
  /// Rebuilds the colour a representation came from; nothing for a damaged one.
  static std::optional<Color> colorFromPropertyListRepresentation(
      const PropertyListRepresentation& representation);
};

}  // namespace zv::richtext
