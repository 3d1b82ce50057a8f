#include "richtext/font.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "richtext/fake_font_manager.h"

namespace zv::richtext {
namespace {

TEST(FontTest, ClosestFaceHonoursTraitsBeforeWeight) {
  const std::vector<FontFace> faces = {
      {u"Sans", u"Sans", 0, kFontWeightRegular},
      {u"Sans-Light", u"Sans", 0, -0.4},
      {u"Sans-Bold", u"Sans", kBoldFontMask, kFontWeightBold},
      {u"Sans-Oblique", u"Sans", kItalicFontMask, kFontWeightRegular},
  };
  struct Case {
    const char* name;
    FontTraitMask traits;
    double weight;
    std::u16string expected;
  };
  const Case cases[] = {
      {"regular", 0, kFontWeightRegular, u"Sans"},
      {"light", 0, -0.5, u"Sans-Light"},
      {"bold by weight", 0, kFontWeightBold, u"Sans-Bold"},
      {"bold by trait at regular weight", kBoldFontMask, kFontWeightRegular, u"Sans-Bold"},
      {"italic", kItalicFontMask, kFontWeightRegular, u"Sans-Oblique"},
      // No bold italic: the bold and the italic face each miss one trait; the weight decides.
      {"bold italic", kBoldFontMask | kItalicFontMask, kFontWeightBold, u"Sans-Bold"},
      {"fixed pitch missing everywhere", kFixedPitchFontMask, kFontWeightRegular, u"Sans"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FontFace* face = closestFontFace(faces, c.traits, c.weight);
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(face->name, c.expected);
  }
  EXPECT_EQ(closestFontFace({}, 0, 0), nullptr);
}

TEST(FontTest, WeightsMapToFontconfigAndBack) {
  struct Case {
    double weight;
    int fontconfigWeight;
  };
  const Case cases[] = {
      {-1.0, 0},  {-0.8, 40}, {-0.4, 50},  {0.0, 80},   {0.23, 100},
      {0.3, 180}, {0.4, 200}, {0.56, 205}, {0.62, 210}, {1.0, 215},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.weight);
    EXPECT_EQ(fontconfigWeightForWeight(c.weight), c.fontconfigWeight);
    EXPECT_NEAR(weightForFontconfigWeight(c.fontconfigWeight), c.weight, 1e-9);
  }
  EXPECT_EQ(fontconfigWeightForWeight(-7), 0);
  EXPECT_EQ(fontconfigWeightForWeight(7), 215);
  EXPECT_EQ(fontconfigWeightForWeight(0.35), 190);
  // Book (75) lies between light and regular.
  EXPECT_GT(weightForFontconfigWeight(75), -0.4);
  EXPECT_LT(weightForFontconfigWeight(75), 0.0);
  EXPECT_EQ(weightForFontconfigWeight(1000), 1.0);
}

TEST(FontTest, SharedManagerCanBeReplacedAndRestored) {
  setSharedFontManager(std::make_shared<FakeFontManager>());
  const FontManager& fake = sharedFontManager();
  EXPECT_EQ(fake.userFontOfSize(0), Font(u"Helvetica", kStandardFontSize));
  setSharedFontManager(nullptr);
  // The replaced manager stays usable through the reference handed out before.
  EXPECT_EQ(fake.userFixedPitchFontOfSize(12).name, u"Menlo-Regular");
  EXPECT_NE(&sharedFontManager(), &fake);
}

// These faces come with fonts-dejavu-core and fonts-dejavu-extra, which install-deps installs.
class FontconfigFontManagerTest : public testing::Test {
 protected:
  std::shared_ptr<const FontManager> manager_ = makeFontconfigFontManager();
};

TEST_F(FontconfigFontManagerTest, FindsInstalledFacesOnlyByTheirOwnNames) {
  struct Case {
    std::u16string name;
    std::optional<std::u16string> found;
  };
  const Case cases[] = {
      {u"DejaVuSans-Bold", u"DejaVuSans-Bold"},
      {u"dejavusans-bold", u"DejaVuSans-Bold"},
      {u"DejaVu Sans Bold", u"DejaVuSans-Bold"},
      {u"DejaVuSansMono", u"DejaVuSansMono"},
      {u"DejaVu Serif", u"DejaVuSerif"},
      // Fontconfig would substitute these; substitutes are not found.
      {u"Helvetica Neue", std::nullopt},
      {u"HelveticaNeue-Bold", std::nullopt},
      {u"sans-serif", std::nullopt},
      {u"DejaVuSans-Bol", std::nullopt},
      {u"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
    EXPECT_EQ(manager_->fontWithName(c.name, 11),
              c.found ? std::optional(Font(*c.found, 11)) : std::nullopt);
  }
  EXPECT_EQ(manager_->fontWithName(u"DejaVuSans", 0)->pointSize, kStandardFontSize);
}

TEST_F(FontconfigFontManagerTest, ChoosesTheFaceOfAFamilyByTraitsAndWeight) {
  struct Case {
    const char* name;
    std::u16string family;
    FontTraitMask traits;
    double weight;
    std::optional<std::u16string> face;
  };
  const Case cases[] = {
      {"regular", u"DejaVu Sans", 0, kFontWeightRegular, u"DejaVuSans"},
      {"bold", u"DejaVu Sans", kBoldFontMask, kFontWeightBold, u"DejaVuSans-Bold"},
      {"bold by weight alone", u"DejaVu Sans", 0, kFontWeightBold, u"DejaVuSans-Bold"},
      {"italic", u"DejaVu Serif", kItalicFontMask, 0, u"DejaVuSerif-Italic"},
      {"bold italic", u"dejavu sans mono", kBoldFontMask | kItalicFontMask, 0,
       u"DejaVuSansMono-BoldOblique"},
      {"absent family", u"Helvetica Neue", 0, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<Font> font = manager_->fontWithFamily(c.family, c.traits, c.weight, 16);
    EXPECT_EQ(font, c.face ? std::optional(Font(*c.face, 16)) : std::nullopt);
    if (font) {
      EXPECT_EQ(manager_->traitsOfFont(*font) & c.traits, c.traits);
    }
  }
}

TEST_F(FontconfigFontManagerTest, ReportsTraitsAndWeightOfFaces) {
  EXPECT_EQ(manager_->traitsOfFont(Font(u"DejaVuSansMono-Bold", 12)),
            kBoldFontMask | kFixedPitchFontMask);
  EXPECT_EQ(manager_->weightOfFont(Font(u"DejaVuSansMono-Bold", 12)), kFontWeightBold);
  EXPECT_EQ(manager_->traitsOfFont(Font(u"DejaVuSerif-Italic", 12)), kItalicFontMask);
  EXPECT_EQ(manager_->weightOfFont(Font(u"DejaVuSans", 12)), kFontWeightRegular);
  Font unknown(u"Helvetica Neue", 12);
  unknown.traits = kItalicFontMask;
  EXPECT_EQ(manager_->traitsOfFont(unknown), kItalicFontMask);
}

TEST_F(FontconfigFontManagerTest, UserFontsAreInstalledFacesOfTheRightKind) {
  const Font user = manager_->userFontOfSize(0);
  EXPECT_EQ(user.pointSize, kStandardFontSize);
  EXPECT_TRUE(manager_->fontWithName(user.name, 0).has_value());
  EXPECT_EQ(manager_->traitsOfFont(user) & kFixedPitchFontMask, 0U);
  const Font fixed = manager_->userFixedPitchFontOfSize(10);
  EXPECT_EQ(fixed.pointSize, 10);
  EXPECT_NE(manager_->traitsOfFont(fixed) & kFixedPitchFontMask, 0U);
}

}  // namespace
}  // namespace zv::richtext
