#include "richtext/fake_font_manager.h"

#include <algorithm>
#include <utility>

namespace zv::richtext {

namespace {

bool equalIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
  return std::ranges::equal(a, b, [&](char16_t x, char16_t y) { return lower(x) == lower(y); });
}

}  // namespace

std::vector<FontFace> FakeFontManager::standardFaces() {
  constexpr FontTraitMask kBoldItalic = kBoldFontMask | kItalicFontMask;
  constexpr FontTraitMask kFixed = kFixedPitchFontMask;
  return {
      {u"HelveticaNeue", u"Helvetica Neue", 0, kFontWeightRegular},
      {u"HelveticaNeue-Bold", u"Helvetica Neue", kBoldFontMask, kFontWeightBold},
      {u"HelveticaNeue-Italic", u"Helvetica Neue", kItalicFontMask, kFontWeightRegular},
      {u"HelveticaNeue-BoldItalic", u"Helvetica Neue", kBoldItalic, kFontWeightBold},
      {u"Helvetica", u"Helvetica", 0, kFontWeightRegular},
      {u"Helvetica-Bold", u"Helvetica", kBoldFontMask, kFontWeightBold},
      {u"Menlo-Regular", u"Menlo", kFixed, kFontWeightRegular},
      {u"Menlo-Bold", u"Menlo", kFixed | kBoldFontMask, kFontWeightBold},
      {u"Menlo-Italic", u"Menlo", kFixed | kItalicFontMask, kFontWeightRegular},
  };
}

FakeFontManager::FakeFontManager()
    : FakeFontManager(standardFaces(), u"Helvetica", u"Menlo-Regular") {}

FakeFontManager::FakeFontManager(std::vector<FontFace> faces, std::u16string userFontName,
                                 std::u16string userFixedPitchFontName)
    : faces_(std::move(faces)),
      userFontName_(std::move(userFontName)),
      userFixedPitchFontName_(std::move(userFixedPitchFontName)) {}

const FontFace* FakeFontManager::faceNamed(std::u16string_view name) const {
  auto found = std::ranges::find(faces_, name, &FontFace::name);
  return found == faces_.end() ? nullptr : &*found;
}

std::optional<Font> FakeFontManager::fontWithName(std::u16string_view name,
                                                  double pointSize) const {
  const FontFace* face = faceNamed(name);
  if (face == nullptr) {
    return std::nullopt;
  }
  return face->fontOfSize(pointSize);
}

std::optional<Font> FakeFontManager::fontWithFamily(std::u16string_view family,
                                                    FontTraitMask traits, double weight,
                                                    double pointSize) const {
  std::vector<FontFace> members;
  std::ranges::copy_if(faces_, std::back_inserter(members), [&](const FontFace& face) {
    return equalIgnoringAsciiCase(face.family, family);
  });
  const FontFace* face = closestFontFace(members, traits, weight);
  if (face == nullptr) {
    return std::nullopt;
  }
  return face->fontOfSize(pointSize);
}

FontTraitMask FakeFontManager::traitsOfFont(const Font& font) const {
  const FontFace* face = faceNamed(font.name);
  return face != nullptr ? face->traits : font.traits;
}

double FakeFontManager::weightOfFont(const Font& font) const {
  const FontFace* face = faceNamed(font.name);
  return face != nullptr ? face->weight : font.weight;
}

Font FakeFontManager::userFontOfSize(double pointSize) const {
  const FontFace* face = faceNamed(userFontName_);
  return face != nullptr ? face->fontOfSize(pointSize)
                         : FontFace{userFontName_, {}, 0, kFontWeightRegular}.fontOfSize(pointSize);
}

Font FakeFontManager::userFixedPitchFontOfSize(double pointSize) const {
  const FontFace* face = faceNamed(userFixedPitchFontName_);
  return face != nullptr
             ? face->fontOfSize(pointSize)
             : FontFace{userFixedPitchFontName_, {}, kFixedPitchFontMask, kFontWeightRegular}
                   .fontOfSize(pointSize);
}

}  // namespace zv::richtext
