#pragma once

// Where a view shows something other than the tree the tree reader builds from the same bytes;
// shared by the view's test and the fuzzer that holds the two readers to each other.

#include <bit>
#include <cstdint>
#include <string>

#include "platform/binary_property_list_view.h"
#include "platform/property_list.h"
#include "platform/unicode.h"

namespace zv::platform {

/// True when view and tree have the same type and value, or for containers the same size.
inline bool sameAtTop(const BinaryPropertyListView::Value& view, const PropertyList& tree) {
  if (view.type() != tree.type()) {
    return false;
  }
  switch (tree.type()) {
    case PropertyList::Type::kString:
      return *view.asString() == *tree.asString() && view.asString()->decoded() == *tree.asString();
    case PropertyList::Type::kInteger:
      return view.asInteger() == tree.asInteger();
    case PropertyList::Type::kReal:
      return std::bit_cast<std::uint64_t>(*view.asReal()) ==
             std::bit_cast<std::uint64_t>(*tree.asReal());
    case PropertyList::Type::kBoolean:
      return view.asBoolean() == tree.asBoolean();
    case PropertyList::Type::kDate:
      return std::bit_cast<std::uint64_t>(view.asDate()->secondsSinceReferenceDate) ==
             std::bit_cast<std::uint64_t>(tree.asDate()->secondsSinceReferenceDate);
    case PropertyList::Type::kUid:
      return view.asUid() == tree.asUid();
    case PropertyList::Type::kData: {
      const auto data = *view.asData();
      return PropertyList::Data(data.begin(), data.end()) == *tree.asData();
    }
    case PropertyList::Type::kArray:
      return view.size() == tree.asArray()->size();
    case PropertyList::Type::kDictionary:
      return view.size() == tree.asDictionary()->size();
  }
  return false;
}

/// Empty when view and tree hold the same values (reals compared bit for bit), else the path to
/// the first difference. Every accessor of the view is asked, lookup by key included.
inline std::string viewDifference(const BinaryPropertyListView::Value& view,
                                  const PropertyList& tree, const std::string& path = "/") {
  if (!sameAtTop(view, tree)) {
    return path + ": value";
  }
  if (const PropertyList::Array* array = tree.asArray()) {
    for (std::size_t i = 0; i < array->size(); ++i) {
      std::string difference =
          viewDifference(view.element(i), (*array)[i], path + std::to_string(i) + "/");
      if (!difference.empty()) {
        return difference;
      }
    }
  }
  if (const PropertyList::Dictionary* dictionary = tree.asDictionary()) {
    std::size_t i = 0;
    for (const auto& entry : *dictionary) {
      const std::string at = path + toUtf8(entry.key) + "/";
      if (!(view.key(i) == entry.key)) {
        return at + ": key";
      }
      const auto found = view.find(entry.key);
      if (!found || !sameAtTop(*found, entry.value)) {
        return at + ": found by key";
      }
      std::string difference = viewDifference(view.value(i), entry.value, at);
      if (!difference.empty()) {
        return difference;
      }
      ++i;
    }
  }
  return {};
}

}  // namespace zv::platform
