#include "richtext/color.h"

#include <cmath>
#include <utility>

namespace zv::richtext {

namespace {

// Components that differ by less than half of one 8-bit step are the same colour: archives,
// pasteboards and colour pickers round through 8 bits.
constexpr double kComponentTolerance = 0.5 / 255.0;

bool sameComponent(double a, double b) {
  return std::fabs(a - b) < kComponentTolerance;
}

Color fixedColor(double red, double green, double blue, double alpha) {
  return Color{Color::Space::kCalibratedRGB, red, green, blue, alpha, Color::Dynamic::kNone};
}

// The components keep their defaults, so a dynamic colour built field by field equals these.
Color dynamicColor(Color::Dynamic which) {
  Color color;
  color.space = Color::Space::kDynamic;
  color.dynamic = which;
  return color;
}

// What the dynamic colours show: black or white ink at the platform's opacities.
struct DynamicAppearance {
  Color::Dynamic dynamic;
  double lightAlpha;
  double darkAlpha;
};
constexpr DynamicAppearance kDynamicAppearances[] = {
    {Color::Dynamic::kText, 1.0, 1.0},
    {Color::Dynamic::kLabel, 0.85, 0.85},
    {Color::Dynamic::kSecondaryLabel, 0.5, 0.55},
};

// The property-list keys of a colour.
constexpr char16_t kSpaceKey[] = u"colorSpace";
constexpr char16_t kDynamicKey[] = u"dynamicColor";
constexpr char16_t kRedKey[] = u"red";
constexpr char16_t kGreenKey[] = u"green";
constexpr char16_t kBlueKey[] = u"blue";
constexpr char16_t kAlphaKey[] = u"alpha";

std::optional<double> finiteValue(const Color::PropertyListRepresentation& representation,
                                  std::u16string_view key) {
  auto found = representation.find(key);
  if (found == representation.end() || !std::isfinite(found->second)) {
    return std::nullopt;
  }
  return found->second;
}

// An enumeration value stored as a number: only whole numbers within the enumeration count.
template <typename Enum>
std::optional<Enum> enumValue(const Color::PropertyListRepresentation& representation,
                              std::u16string_view key, Enum last) {
  std::optional<double> value = finiteValue(representation, key);
  if (!value || *value != std::floor(*value) || *value < 0 || *value > static_cast<double>(last)) {
    return std::nullopt;
  }
  return static_cast<Enum>(static_cast<int>(*value));
}

}  // namespace

Color Color::blackColor() {
  return fixedColor(0, 0, 0, 1);
}
Color Color::whiteColor() {
  return fixedColor(1, 1, 1, 1);
}
Color Color::textColor() {
  return dynamicColor(Dynamic::kText);
}
Color Color::labelColor() {
  return dynamicColor(Dynamic::kLabel);
}
Color Color::secondaryLabelColor() {
  return dynamicColor(Dynamic::kSecondaryLabel);
}

Color Color::resolvedForAppearance(Appearance appearance) const {
  if (!isDynamic()) {
    return *this;
  }
  for (const DynamicAppearance& entry : kDynamicAppearances) {
    if (entry.dynamic == dynamic) {
      return appearance == Appearance::kLight ? fixedColor(0, 0, 0, entry.lightAlpha)
                                              : fixedColor(1, 1, 1, entry.darkAlpha);
    }
  }
  return blackColor();
}

bool Color::isBlackColor() const {
  return !isDynamic() && isEqualToColorQuennetVersion(blackColor());
}

bool Color::isWhiteColor() const {
  return !isDynamic() && isEqualToColorQuennetVersion(whiteColor());
}

bool Color::isEqualToColorQuennetVersion(const Color& other) const {
  if (isDynamic() || other.isDynamic()) {
    return isDynamic() && other.isDynamic() && dynamic == other.dynamic;
  }
  // The RGB spaces differ too little for text colours to tell apart: black stays black.
  return sameComponent(red, other.red) && sameComponent(green, other.green) &&
         sameComponent(blue, other.blue) && sameComponent(alpha, other.alpha);
}

Color::PropertyListRepresentation Color::propertyListRepresentation() const {
  PropertyListRepresentation representation;
  representation.emplace(kSpaceKey, static_cast<double>(space));
  if (isDynamic()) {
    representation.emplace(kDynamicKey, static_cast<double>(dynamic));
    return representation;
  }
  representation.emplace(kRedKey, red);
  representation.emplace(kGreenKey, green);
  representation.emplace(kBlueKey, blue);
  representation.emplace(kAlphaKey, alpha);
  return representation;
}

std::optional<Color> Color::colorFromPropertyListRepresentation(
    const PropertyListRepresentation& representation) {
  std::optional<Space> space = enumValue(representation, kSpaceKey, Space::kDynamic);
  if (!space) {
    return std::nullopt;
  }
  if (*space == Space::kDynamic) {
    std::optional<Dynamic> which = enumValue(representation, kDynamicKey, Dynamic::kSecondaryLabel);
    if (!which || *which == Dynamic::kNone) {
      return std::nullopt;
    }
    return dynamicColor(*which);
  }
  std::optional<double> red = finiteValue(representation, kRedKey);
  std::optional<double> green = finiteValue(representation, kGreenKey);
  std::optional<double> blue = finiteValue(representation, kBlueKey);
  std::optional<double> alpha = finiteValue(representation, kAlphaKey);
  if (!red || !green || !blue || !alpha) {
    return std::nullopt;
  }
  return Color{*space, *red, *green, *blue, *alpha, Dynamic::kNone};
}

}  // namespace zv::richtext
