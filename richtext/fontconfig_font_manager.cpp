#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <string>
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

// Names compare without regard to case, as fontconfig's own family names do.
std::u16string foldedName(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) {
    if (c >= u'A' && c <= u'Z') {
      c = static_cast<char16_t>(c - u'A' + u'a');
    }
  }
  return folded;
}

std::vector<std::u16string> stringProperties(FcPattern* pattern, const char* object) {
  std::vector<std::u16string> values;
  FcChar8* value = nullptr;
  for (int index = 0; FcPatternGetString(pattern, object, index, &value) == FcResultMatch;
       ++index) {
    if (value != nullptr) {
      values.push_back(platform::fromUtf8(reinterpret_cast<const char*>(value)));
    }
  }
  return values;
}

// Every installed face by each of its names, and every family's faces, read with one listing:
// fontconfig compares PostScript and full names with case, and answers each query slowly.
struct FaceIndex {
  std::map<std::u16string, FontFace, std::less<>> facesByName;
  std::map<std::u16string, std::vector<FontFace>, std::less<>> facesByFamily;
};

FaceIndex indexFaces(FcConfig* config) {
  FaceIndex index;
  if (config == nullptr) {
    return index;
  }
  Pattern all(FcPatternCreate());
  std::unique_ptr<FcObjectSet, ObjectSetDeleter> objects(
      FcObjectSetBuild(FC_FAMILY, FC_POSTSCRIPT_NAME, FC_FULLNAME, FC_WEIGHT, FC_SLANT, FC_SPACING,
                       FC_WIDTH, nullptr));
  FontSet set(FcFontList(config, all.get(), objects.get()));
  if (!set) {
    return index;
  }
  struct Listed {
    FontFace face;
    bool normalWidth;
  };
  std::map<std::u16string, std::vector<Listed>, std::less<>> families;
  for (int position = 0; position < set->nfont; ++position) {
    FcPattern* pattern = set->fonts[position];
    FontFace face = faceOfPattern(pattern);
    if (face.name.empty()) {
      continue;
    }
    // PostScript names first: on a clash between one face's PostScript name and another's full
    // name, the PostScript name wins whatever the listing order.
    index.facesByName.insert_or_assign(foldedName(face.name), face);
    int width = FC_WIDTH_NORMAL;
    FcPatternGetInteger(pattern, FC_WIDTH, 0, &width);
    for (const std::u16string& family : stringProperties(pattern, FC_FAMILY)) {
      families[foldedName(family)].push_back({face, width == FC_WIDTH_NORMAL});
    }
  }
  for (int position = 0; position < set->nfont; ++position) {
    for (const std::u16string& fullName : stringProperties(set->fonts[position], FC_FULLNAME)) {
      index.facesByName.try_emplace(foldedName(fullName), faceOfPattern(set->fonts[position]));
    }
  }
  for (auto& [family, listed] : families) {
    // Listing order depends on the cache files; sort so that answers do not, and put faces of
    // normal width first so that ties choose them over condensed ones.
    std::ranges::sort(listed, [](const Listed& a, const Listed& b) {
      if (a.normalWidth != b.normalWidth) {
        return a.normalWidth;
      }
      return a.face.name < b.face.name;
    });
    std::vector<FontFace>& faces = index.facesByFamily[family];
    for (const Listed& entry : listed) {
      if (faces.empty() || faces.back().name != entry.face.name) {
        faces.push_back(entry.face);
      }
    }
  }
  return index;
}

class FontconfigFontManager final : public FontManager {
 public:
  FontconfigFontManager() : config_(FcInitLoadConfigAndFonts()) {}

  std::optional<Font> fontWithName(std::u16string_view name, double pointSize) const override {
    std::lock_guard lock(mutex_);
    const FontFace* face = faceNamedLocked(name);
    if (face == nullptr) {
      return std::nullopt;
    }
    return face->fontOfSize(pointSize);
  }

  std::optional<Font> fontWithFamily(std::u16string_view family, FontTraitMask traits,
                                     double weight, double pointSize) const override {
    std::lock_guard lock(mutex_);
    const FaceIndex& faces = indexLocked();
    auto members = faces.facesByFamily.find(foldedName(family));
    if (members == faces.facesByFamily.end()) {
      return std::nullopt;
    }
    const FontFace* face = closestFontFace(members->second, traits, weight);
    if (face == nullptr) {
      return std::nullopt;
    }
    return face->fontOfSize(pointSize);
  }

  FontTraitMask traitsOfFont(const Font& font) const override {
    std::lock_guard lock(mutex_);
    const FontFace* face = faceNamedLocked(font.name);
    return face != nullptr ? face->traits : font.traits;
  }

  double weightOfFont(const Font& font) const override {
    std::lock_guard lock(mutex_);
    const FontFace* face = faceNamedLocked(font.name);
    return face != nullptr ? face->weight : font.weight;
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
  const FaceIndex& indexLocked() const {
    if (!index_) {
      index_ = indexFaces(config_.get());
    }
    return *index_;
  }

  const FontFace* faceNamedLocked(std::u16string_view name) const {
    const FaceIndex& faces = indexLocked();
    auto found = faces.facesByName.find(foldedName(name));
    return found == faces.facesByName.end() ? nullptr : &found->second;
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
    FcPatternAddString(pattern.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>(generic));
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
  mutable std::optional<FaceIndex> index_;
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
