#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/unicode.h"
#include "richtext/font.h"

namespace zv::richtext {

namespace {

struct WeightPoint {
  double weight;
  int fontconfigWeight;
};
constexpr std::array<WeightPoint, 10> kWeightTable = {{
    {-1.0, FC_WEIGHT_THIN},
    {-0.8, FC_WEIGHT_EXTRALIGHT},
    {-0.4, FC_WEIGHT_LIGHT},
    {0.0, FC_WEIGHT_REGULAR},
    {0.23, FC_WEIGHT_MEDIUM},
    {0.3, FC_WEIGHT_DEMIBOLD},
    {0.4, FC_WEIGHT_BOLD},
    {0.56, FC_WEIGHT_EXTRABOLD},
    {0.62, FC_WEIGHT_BLACK},
    {1.0, FC_WEIGHT_EXTRABLACK},
}};

struct PatternDeleter {
  void operator()(FcPattern* pattern) const { FcPatternDestroy(pattern); }
};
using Pattern = std::unique_ptr<FcPattern, PatternDeleter>;
struct FontSetDeleter {
  void operator()(FcFontSet* set) const { FcFontSetDestroy(set); }
};
using FontSet = std::unique_ptr<FcFontSet, FontSetDeleter>;
struct ObjectSetDeleter {
  void operator()(FcObjectSet* set) const { FcObjectSetDestroy(set); }
};
struct ConfigDeleter {
  void operator()(FcConfig* config) const { FcConfigDestroy(config); }
};

const FcChar8* fcString(const std::string& text) {
  return reinterpret_cast<const FcChar8*>(text.c_str());
}

std::u16string stringProperty(FcPattern* pattern, const char* object) {
  FcChar8* value = nullptr;
  if (FcPatternGetString(pattern, object, 0, &value) != FcResultMatch || value == nullptr) {
    return {};
  }
  return platform::fromUtf8(reinterpret_cast<const char*>(value));
}

FontFace faceOfPattern(FcPattern* pattern) {
  FontFace face;
  face.name = stringProperty(pattern, FC_POSTSCRIPT_NAME);
  if (face.name.empty()) {
    face.name = stringProperty(pattern, FC_FULLNAME);
  }
  face.family = stringProperty(pattern, FC_FAMILY);
  int weight = FC_WEIGHT_REGULAR;
  FcPatternGetInteger(pattern, FC_WEIGHT, 0, &weight);
  face.weight = weightForFontconfigWeight(weight);
  if (weight >= FC_WEIGHT_DEMIBOLD) {
    face.traits |= kBoldFontMask;
  }
  int slant = FC_SLANT_ROMAN;
  if (FcPatternGetInteger(pattern, FC_SLANT, 0, &slant) == FcResultMatch &&
      slant != FC_SLANT_ROMAN) {
    face.traits |= kItalicFontMask;
  }
  int spacing = FC_PROPORTIONAL;
  if (FcPatternGetInteger(pattern, FC_SPACING, 0, &spacing) == FcResultMatch &&
      (spacing == FC_MONO || spacing == FC_CHARCELL)) {
    face.traits |= kFixedPitchFontMask;
  }
  return face;
}

class FontconfigFontManager final : public FontManager {
 public:
  FontconfigFontManager() : config_(FcInitLoadConfigAndFonts()) {}

  std::optional<Font> fontWithName(std::u16string_view name, double pointSize) const override {
    std::lock_guard lock(mutex_);
    const std::optional<FontFace>& face = faceNamedLocked(name);
    if (!face) {
      return std::nullopt;
    }
    return face->fontOfSize(pointSize);
  }

  std::optional<Font> fontWithFamily(std::u16string_view family, FontTraitMask traits,
                                     double weight, double pointSize) const override {
    std::lock_guard lock(mutex_);
    const FontFace* face = closestFontFace(facesOfFamilyLocked(family), traits, weight);
    if (face == nullptr) {
      return std::nullopt;
    }
    return face->fontOfSize(pointSize);
  }

  FontTraitMask traitsOfFont(const Font& font) const override {
    std::lock_guard lock(mutex_);
    const std::optional<FontFace>& face = faceNamedLocked(font.name);
    return face ? face->traits : font.traits;
  }

  double weightOfFont(const Font& font) const override {
    std::lock_guard lock(mutex_);
    const std::optional<FontFace>& face = faceNamedLocked(font.name);
    return face ? face->weight : font.weight;
  }

  Font userFontOfSize(double pointSize) const override {
    std::lock_guard lock(mutex_);
    return genericFaceLocked(userFace_, "sans-serif", 0).fontOfSize(pointSize);
  }

  Font userFixedPitchFontOfSize(double pointSize) const override {
    std::lock_guard lock(mutex_);
    return genericFaceLocked(userFixedPitchFace_, "monospace", kFixedPitchFontMask)
        .fontOfSize(pointSize);
  }

 private:
  // Faces whose string property equals value; fontconfig's listing compares without case and
  // never substitutes.
  std::vector<FontFace> listFacesLocked(const char* object, const std::string& value) const {
    if (!config_) {
      return {};
    }
    Pattern pattern(FcPatternCreate());
    FcPatternAddString(pattern.get(), object, fcString(value));
    std::unique_ptr<FcObjectSet, ObjectSetDeleter> objects(
        FcObjectSetBuild(FC_FAMILY, FC_POSTSCRIPT_NAME, FC_FULLNAME, FC_WEIGHT, FC_SLANT,
                         FC_SPACING, FC_FILE, nullptr));
    FontSet set(FcFontList(config_.get(), pattern.get(), objects.get()));
    std::vector<FontFace> faces;
    if (!set) {
      return faces;
    }
    for (int index = 0; index < set->nfont; ++index) {
      faces.push_back(faceOfPattern(set->fonts[index]));
    }
    // Listing order depends on the cache files; sort so that answers do not.
    std::ranges::sort(faces, [](const FontFace& a, const FontFace& b) {
      return std::tie(a.name, a.family) < std::tie(b.name, b.family);
    });
    faces.erase(std::unique(faces.begin(), faces.end()), faces.end());
    return faces;
  }

  const std::optional<FontFace>& faceNamedLocked(std::u16string_view name) const {
    auto cached = facesByName_.find(name);
    if (cached != facesByName_.end()) {
      return cached->second;
    }
    std::optional<FontFace> found;
    if (!name.empty()) {
      const std::string utf8 = platform::toUtf8(name);
      std::vector<FontFace> faces = listFacesLocked(FC_POSTSCRIPT_NAME, utf8);
      if (faces.empty()) {
        faces = listFacesLocked(FC_FULLNAME, utf8);
      }
      if (!faces.empty()) {
        found = faces.front();
      }
    }
    return facesByName_.emplace(std::u16string(name), std::move(found)).first->second;
  }

  const std::vector<FontFace>& facesOfFamilyLocked(std::u16string_view family) const {
    auto cached = facesByFamily_.find(family);
    if (cached != facesByFamily_.end()) {
      return cached->second;
    }
    std::vector<FontFace> faces;
    if (!family.empty()) {
      faces = listFacesLocked(FC_FAMILY, platform::toUtf8(family));
    }
    return facesByFamily_.emplace(std::u16string(family), std::move(faces)).first->second;
  }

  const FontFace& genericFaceLocked(std::optional<FontFace>& slot, const char* generic,
                                    FontTraitMask fallbackTraits) const {
    if (slot) {
      return *slot;
    }
    slot = FontFace{platform::fromUtf8(generic), {}, fallbackTraits, kFontWeightRegular};
    if (!config_) {
      return *slot;
    }
    Pattern pattern(FcPatternCreate());
    FcPatternAddString(pattern.get(), FC_FAMILY, fcString(generic));
    FcConfigSubstitute(config_.get(), pattern.get(), FcMatchPattern);
    FcDefaultSubstitute(pattern.get());
    FcResult result = FcResultNoMatch;
    Pattern match(FcFontMatch(config_.get(), pattern.get(), &result));
    if (match && result == FcResultMatch) {
      FontFace face = faceOfPattern(match.get());
      if (!face.name.empty()) {
        slot = std::move(face);
      }
    }
    return *slot;
  }

  std::unique_ptr<FcConfig, ConfigDeleter> config_;
  mutable std::mutex mutex_;
  mutable std::map<std::u16string, std::optional<FontFace>, std::less<>> facesByName_;
  mutable std::map<std::u16string, std::vector<FontFace>, std::less<>> facesByFamily_;
  mutable std::optional<FontFace> userFace_;
  mutable std::optional<FontFace> userFixedPitchFace_;
};

}  // namespace

int fontconfigWeightForWeight(double weight) {
  if (!(weight > kWeightTable.front().weight)) {
    return kWeightTable.front().fontconfigWeight;
  }
  for (std::size_t index = 1; index < kWeightTable.size(); ++index) {
    const WeightPoint& low = kWeightTable[index - 1];
    const WeightPoint& high = kWeightTable[index];
    if (weight <= high.weight) {
      const double fraction = (weight - low.weight) / (high.weight - low.weight);
      return static_cast<int>(std::lround(
          low.fontconfigWeight + fraction * (high.fontconfigWeight - low.fontconfigWeight)));
    }
  }
  return kWeightTable.back().fontconfigWeight;
}

double weightForFontconfigWeight(int fontconfigWeight) {
  if (fontconfigWeight <= kWeightTable.front().fontconfigWeight) {
    return kWeightTable.front().weight;
  }
  for (std::size_t index = 1; index < kWeightTable.size(); ++index) {
    const WeightPoint& low = kWeightTable[index - 1];
    const WeightPoint& high = kWeightTable[index];
    if (fontconfigWeight <= high.fontconfigWeight) {
      const double fraction = static_cast<double>(fontconfigWeight - low.fontconfigWeight) /
                              (high.fontconfigWeight - low.fontconfigWeight);
      return low.weight + fraction * (high.weight - low.weight);
    }
  }
  return kWeightTable.back().weight;
}

std::shared_ptr<const FontManager> makeFontconfigFontManager() {
  return std::make_shared<FontconfigFontManager>();
}

}  // namespace zv::richtext
