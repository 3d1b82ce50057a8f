#include "richtext/color.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace zv::richtext {
namespace {

Color rgb(double red, double green, double blue, double alpha = 1,
          Color::Space space = Color::Space::kCalibratedRGB) {
  return Color{space, red, green, blue, alpha, Color::Dynamic::kNone};
}

TEST(ColorTest, BlackAndWhiteAreFixedOpaqueColoursOnly) {
  struct Case {
    const char* name;
    Color color;
    bool black;
    bool white;
  };
  const Case cases[] = {
      {"black", Color::blackColor(), true, false},
      {"white", Color::whiteColor(), false, true},
      {"black in sRGB", rgb(0, 0, 0, 1, Color::Space::kSRGB), true, false},
      {"black rounded through 8 bits", rgb(0.001, 0, 0.0015), true, false},
      {"near black is not black", rgb(1.0 / 255, 0, 0), false, false},
      {"translucent black", rgb(0, 0, 0, 0.5), false, false},
      {"white a step off", rgb(1, 1, 254.0 / 255), false, false},
      {"text colour", Color::textColor(), false, false},
      {"label colour", Color::labelColor(), false, false},
      {"red", rgb(1, 0, 0), false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.color.isBlackColor(), c.black);
    EXPECT_EQ(c.color.isWhiteColor(), c.white);
  }
}

TEST(ColorTest, EqualityComparesDynamicColoursByNameAndFixedOnesByComponents) {
  struct Case {
    const char* name;
    Color a;
    Color b;
    bool equal;
  };
  const Case cases[] = {
      {"black and black", Color::blackColor(), Color::blackColor(), true},
      {"text and text", Color::textColor(), Color::textColor(), true},
      {"text and label", Color::textColor(), Color::labelColor(), false},
      {"text and black, which it shows in light", Color::textColor(), Color::blackColor(), false},
      {"same red in two spaces", rgb(1, 0, 0), rgb(1, 0, 0, 1, Color::Space::kDeviceRGB), true},
      {"within rounding", rgb(0.5, 0.5, 0.5), rgb(0.501, 0.499, 0.5), true},
      {"one 8-bit step apart", rgb(0.5, 0.5, 0.5), rgb(0.5 + 1.0 / 255, 0.5, 0.5), false},
      {"alpha differs", rgb(0.2, 0.3, 0.4, 1), rgb(0.2, 0.3, 0.4, 0.5), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.a.isEqualToColorQuennetVersion(c.b), c.equal);
    EXPECT_EQ(c.b.isEqualToColorQuennetVersion(c.a), c.equal);
  }
}

TEST(ColorTest, DynamicColoursResolveAgainstTheAppearance) {
  for (const Color& dynamic :
       {Color::textColor(), Color::labelColor(), Color::secondaryLabelColor()}) {
    const Color light = dynamic.resolvedForAppearance(Appearance::kLight);
    const Color dark = dynamic.resolvedForAppearance(Appearance::kDark);
    EXPECT_FALSE(light.isDynamic());
    EXPECT_EQ(light.red + light.green + light.blue, 0);
    EXPECT_EQ(dark.red + dark.green + dark.blue, 3);
    EXPECT_GT(light.alpha, 0);
  }
  EXPECT_TRUE(Color::textColor().resolvedForAppearance(Appearance::kLight).isBlackColor());
  EXPECT_TRUE(Color::textColor().resolvedForAppearance(Appearance::kDark).isWhiteColor());
  const Color red = rgb(1, 0, 0);
  EXPECT_EQ(red.resolvedForAppearance(Appearance::kDark), red);
}

TEST(ColorTest, PropertyListRepresentationRoundTripsExactly) {
  const Color colors[] = {
      Color::blackColor(),
      Color::whiteColor(),
      Color::textColor(),
      Color::labelColor(),
      Color::secondaryLabelColor(),
      rgb(0.1, 0.2, 0.3, 0.4, Color::Space::kSRGB),
      rgb(1.0 / 3, 2.0 / 3, 0.7, 1, Color::Space::kDeviceRGB),
      rgb(-0.25, 1.5, 0.5, 1, Color::Space::kSRGB),  // extended range
  };
  for (std::size_t index = 0; index < std::size(colors); ++index) {
    SCOPED_TRACE(testing::Message() << "colour " << index);
    const Color& color = colors[index];
    EXPECT_EQ(Color::colorFromPropertyListRepresentation(color.propertyListRepresentation()),
              color);
  }
}

TEST(ColorTest, DamagedRepresentationsGiveNoColour) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  using Representation = Color::PropertyListRepresentation;
  const Representation full = rgb(0.1, 0.2, 0.3).propertyListRepresentation();
  auto with = [&](const std::u16string& key, double value) {
    Representation changed = full;
    changed[key] = value;
    return changed;
  };
  auto without = [&](const std::u16string& key) {
    Representation changed = full;
    changed.erase(key);
    return changed;
  };
  const Representation damaged[] = {
      {},
      without(u"colorSpace"),
      without(u"red"),
      without(u"alpha"),
      with(u"green", nan),
      with(u"blue", infinity),
      with(u"colorSpace", 1.5),
      with(u"colorSpace", -1),
      with(u"colorSpace", 99),
      {{u"colorSpace", 3}},
      {{u"colorSpace", 3}, {u"dynamicColor", 0}},
      {{u"colorSpace", 3}, {u"dynamicColor", 4}},
      {{u"colorSpace", 3}, {u"dynamicColor", nan}},
  };
  for (std::size_t index = 0; index < std::size(damaged); ++index) {
    SCOPED_TRACE(testing::Message() << "damaged representation " << index);
    EXPECT_EQ(Color::colorFromPropertyListRepresentation(damaged[index]), std::nullopt);
  }
}

}  // namespace
}  // namespace zv::richtext
