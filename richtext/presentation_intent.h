#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zv::richtext {

/// The semantic block a paragraph belongs to, possibly nested in another (a list item inside an
/// ordered list inside a block quote). A cheap-to-copy immutable value.
class PresentationIntent {
 public:
  /// The platform's kinds, with its archived values.
  enum class Kind : std::int64_t {
    kParagraph = 0,
    kHeader = 1,
    kOrderedList = 2,
    kUnorderedList = 3,
    kListItem = 4,
    kCodeBlock = 5,
    kBlockQuote = 6,
    kThematicBreak = 7,
  };

  static PresentationIntent paragraph(std::int64_t identity, const PresentationIntent* parent);
  static PresentationIntent header(std::int64_t level, std::int64_t identity,
                                   const PresentationIntent* parent);
  static PresentationIntent codeBlock(std::u16string languageHint, std::int64_t identity,
                                      const PresentationIntent* parent);
  static PresentationIntent blockQuote(std::int64_t identity, const PresentationIntent* parent);
  static PresentationIntent orderedList(std::int64_t identity, const PresentationIntent* parent);
  static PresentationIntent unorderedList(std::int64_t identity, const PresentationIntent* parent);
  static PresentationIntent listItem(std::int64_t ordinal, std::int64_t identity,
                                     const PresentationIntent* parent);
  static PresentationIntent thematicBreak(std::int64_t identity, const PresentationIntent* parent);

  Kind kind() const;
  std::int64_t identity() const;
  /// The header level (0 for other kinds), list item ordinal (0 for other kinds) and code block
  /// language hint (empty for other kinds or when none).
  std::int64_t headerLevel() const;
  std::int64_t ordinal() const;
  const std::u16string& languageHint() const;
  /// The intent this one is nested in, or null.
  const PresentationIntent* parentIntent() const;

  /// Equal kind, identity, level, ordinal, hint and equal parents all the way up.
  friend bool operator==(const PresentationIntent& a, const PresentationIntent& b);

 private:
 public:
  struct Node;

 private:
  explicit PresentationIntent(std::shared_ptr<const Node> node);
  std::shared_ptr<const Node> node_;
};

}  // namespace zv::richtext
