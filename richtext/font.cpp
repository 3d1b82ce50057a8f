#include "richtext/font.h"

#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

namespace zv::richtext {

namespace {

// Costs of choosing a face: any missing trait outweighs any weight difference (at most 2).
constexpr double kMissingTraitCost = 100;
constexpr double kUnwantedTraitCost = 10;

double faceCost(const FontFace& face, FontTraitMask traits, double weight) {
  double cost = std::fabs(face.weight - weight);
  for (FontTraitMask trait : {kItalicFontMask, kFixedPitchFontMask}) {
    const bool wanted = (traits & trait) != 0;
    const bool present = (face.traits & trait) != 0;
    if (wanted && !present) {
      cost += kMissingTraitCost;
    } else if (!wanted && present) {
      cost += kUnwantedTraitCost;
    }
  }
  if ((traits & kBoldFontMask) != 0 && (face.traits & kBoldFontMask) == 0) {
    cost += kMissingTraitCost;
  }
  return cost;
}

struct SharedFontManagerState {
  std::mutex mutex;
  std::shared_ptr<const FontManager> current;
  // Managers that were replaced: callers may still hold references to them.
  std::vector<std::shared_ptr<const FontManager>> retired;
};

SharedFontManagerState& sharedState() {
  static SharedFontManagerState state;
  return state;
}

}  // namespace

Font FontFace::fontOfSize(double pointSize) const {
  Font font(name, pointSize > 0 ? pointSize : kStandardFontSize);
  font.family = family;
  font.traits = traits;
  font.weight = weight;
  return font;
}

const FontFace* closestFontFace(std::span<const FontFace> faces, FontTraitMask traits,
                                double weight) {
  const double wantedWeight =
      (traits & kBoldFontMask) != 0 && weight < kFontWeightBold ? kFontWeightBold : weight;
  const FontFace* best = nullptr;
  double bestCost = 0;
  for (const FontFace& face : faces) {
    const double cost = faceCost(face, traits, wantedWeight);
    if (best == nullptr || cost < bestCost) {
      best = &face;
      bestCost = cost;
    }
  }
  return best;
}

const FontManager& sharedFontManager() {
  SharedFontManagerState& state = sharedState();
  std::lock_guard lock(state.mutex);
  if (!state.current) {
    state.current = makeFontconfigFontManager();
  }
  return *state.current;
}

void setSharedFontManager(std::shared_ptr<const FontManager> manager) {
  SharedFontManagerState& state = sharedState();
  std::lock_guard lock(state.mutex);
  if (state.current) {
    state.retired.push_back(std::move(state.current));
  }
  state.current = std::move(manager);
}

}  // namespace zv::richtext
