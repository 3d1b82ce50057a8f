#include "richtext/attributed_string.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace zv::richtext {

AttributedString::AttributedString(std::u16string string, Attributes attributes)
    : string_(std::move(string)) {
  if (!string_.empty()) {
    runs_.push_back({{0, string_.size()}, std::move(attributes)});
  }
}

const Attributes& AttributedString::attributesAtIndex(std::size_t index, Range* range) const {
  static const Attributes kNoAttributes;
  if (index >= string_.size()) {
    if (range) {
      *range = {string_.size(), 0};
    }
    return kNoAttributes;
  }
  auto after = std::upper_bound(
      runs_.begin(), runs_.end(), index,
      [](std::size_t position, const AttributeRun& run) { return position < run.range.location; });
  const AttributeRun& run = *std::prev(after);
  if (range) {
    *range = run.range;
  }
  return run.attributes;
}

Range AttributedString::clamped(Range range) const {
  const std::size_t start = std::min(range.location, string_.size());
  const std::size_t available = string_.size() - start;
  return {start, std::min(range.length, available)};
}

std::size_t AttributedString::splitAt(std::size_t position) {
  if (position >= string_.size()) {
    return runs_.size();
  }
  auto after = std::upper_bound(
      runs_.begin(), runs_.end(), position,
      [](std::size_t value, const AttributeRun& run) { return value < run.range.location; });
  const std::size_t index = static_cast<std::size_t>(std::prev(after) - runs_.begin());
  AttributeRun& run = runs_[index];
  if (run.range.location == position) {
    return index;
  }
  AttributeRun tail{{position, run.range.end() - position}, run.attributes};
  run.range.length = position - run.range.location;
  runs_.insert(runs_.begin() + static_cast<std::ptrdiff_t>(index) + 1, std::move(tail));
  return index + 1;
}

void AttributedString::mergeNeighbours() {
  std::vector<AttributeRun> merged;
  merged.reserve(runs_.size());
  for (AttributeRun& run : runs_) {
    if (!merged.empty() && merged.back().attributes == run.attributes) {
      merged.back().range.length += run.range.length;
      continue;
    }
    merged.push_back(std::move(run));
  }
  runs_ = std::move(merged);
}

template <typename Change>
void AttributedString::changeAttributes(Range range, Change change) {
  const Range target = clamped(range);
  if (target.length == 0) {
    return;
  }
  const std::size_t first = splitAt(target.location);
  const std::size_t last = splitAt(target.end());
  for (std::size_t i = first; i < last; ++i) {
    change(runs_[i].attributes);
  }
  mergeNeighbours();
}

void AttributedString::setAttributes(const Attributes& attributes, Range range) {
  changeAttributes(range, [&attributes](Attributes& current) { current = attributes; });
}

void AttributedString::addAttribute(std::u16string_view key, const AttributeValue& value,
                                    Range range) {
  changeAttributes(range, [key, &value](Attributes& current) {
    current.insert_or_assign(std::u16string(key), value);
  });
}

void AttributedString::removeAttribute(std::u16string_view key, Range range) {
  changeAttributes(range, [key](Attributes& current) {
    if (auto found = current.find(key); found != current.end()) {
      current.erase(found);
    }
  });
}

void AttributedString::append(const AttributedString& other) {
  const std::size_t offset = string_.size();
  string_ += other.string_;
  for (const AttributeRun& run : other.runs_) {
    // Only the join can bring two equal neighbours together; merging there keeps appending
    // run by run linear.
    if (!runs_.empty() && runs_.back().attributes == run.attributes) {
      runs_.back().range.length += run.range.length;
      continue;
    }
    runs_.push_back({{run.range.location + offset, run.range.length}, run.attributes});
  }
}

void AttributedString::appendString(std::u16string_view text, const Attributes& attributes) {
  if (text.empty()) {
    return;
  }
  const std::size_t offset = string_.size();
  string_ += text;
  if (!runs_.empty() && runs_.back().attributes == attributes) {
    runs_.back().range.length += text.size();
    return;
  }
  runs_.push_back({{offset, text.size()}, attributes});
}

AttributedString AttributedString::attributedStringKeepingAttributeNames(
    const std::set<std::u16string, std::less<>>& names) const {
  AttributedString copy;
  copy.string_ = string_;
  copy.runs_.reserve(runs_.size());
  for (const AttributeRun& run : runs_) {
    AttributeRun kept{run.range, {}};
    for (const auto& [key, value] : run.attributes) {
      if (names.contains(key)) {
        kept.attributes.emplace(key, value);
      }
    }
    copy.runs_.push_back(std::move(kept));
  }
  copy.mergeNeighbours();
  return copy;
}

}  // namespace zv::richtext
