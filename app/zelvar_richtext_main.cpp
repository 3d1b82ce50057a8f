// zelvar-richtext: looks at and moves the rich-text settings the program keeps for the user,
// starting with the note text styles. Each command is one row of a table, so that further
// commands (clean-web, apply-styles, scale, dynamic-colors, dump) slot in beside "styles".
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/richtext_text_commands.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/property_list.h"
#include "platform/result.h"
#include "platform/unicode.h"
#include "platform/url.h"
#include "platform/user_defaults.h"
#include "richtext/note_text_style.h"

namespace {

using zv::platform::fromUtf8;
using zv::platform::toUtf8;
using zv::richtext::Color;
using zv::richtext::ParagraphStyle;
using zv::richtext::QNTNoteTextStyle;
using zv::richtext::QNTNoteTextStylePtr;

constexpr int kFailure = 1;
constexpr int kUsageError = 2;
// A styles file is a few kilobytes per style; anything far larger is not one of ours.
constexpr std::size_t kMaximumStylesFileSize = std::size_t{64} << 20;

constexpr char kStylesUsage[] =
    "Usage: zelvar-richtext styles [list]\n"
    "       zelvar-richtext styles show ID\n"
    "       zelvar-richtext styles export FILE [--force]\n"
    "       zelvar-richtext styles import FILE\n";

constexpr char kDescription[] =
    "\n"
    "Shows the note text styles (standard and custom) and moves the saved ones between machines;\n"
    "cleans up, styles, scales, recolours and shows rich text.\n"
    "Reads and writes the program's user defaults ($XDG_CONFIG_HOME, by default ~/.config).\n"
    "\n"
    "Commands of styles:\n"
    "  list          every effective style: identifier, name, font, colour, paragraph, flags\n"
    "  show ID       one style in detail\n"
    "  export FILE   write the saved styles as a keyed archive; an existing FILE is kept unless\n"
    "                --force is given\n"
    "  import FILE   save the styles of such a file: its standard styles replace those of the\n"
    "                same type, its custom styles those with the same identifier; other custom\n"
    "                styles stay\n"
    "\n"
    "Commands on rich text: IN is RTF, HTML or a web archive, told apart by content; the result\n"
    "is RTF, written to OUT (kept when it exists, unless --force is given) or to standard output.\n"
    "  clean-web       clean up text taken from a web page: the body font's family; with\n"
    "                  --newlines unified line breaks, with --sizes fonts at three quarters,\n"
    "                  with --colors the label colour and no backgrounds. Without any of the\n"
    "                  three, the user defaults QNTCleanUpWebPageNewLines, "
    "QNTCleanUpWebPageFontSizes\n"
    "                  and QNTCleanUpWebPageColors decide\n"
    "  apply-styles    give every run the saved note text style it matches, others the body's\n"
    "  scale FACTOR    every font size and paragraph measure times FACTOR (a positive number)\n"
    "  dynamic-colors  to: black and uncoloured text follows the appearance; from: back to black\n"
    "  dump            one line per run: its place, text and attributes\n"
    "  --help          this text\n"
    "\n"
    "Exit status: 0 on success, 1 if reading or writing failed, 2 for a usage error.\n";

std::string usage() {
  return std::string(kStylesUsage) + zv::app::richtext_commands::kUsage + kDescription;
}

// Names and other texts come from a store or file the user may have been given: a terminal
// must never obey escape sequences in them.
std::string shown(std::u16string_view text) {
  return zv::platform::escapedControlCharacters(toUtf8(text));
}

int usageError(std::string_view message) {
  std::cerr << "zelvar-richtext: " << zv::platform::escapedControlCharacters(message) << "\n\n"
            << usage();
  return kUsageError;
}

int failure(std::string_view message) {
  std::cerr << "zelvar-richtext: " << zv::platform::escapedControlCharacters(message) << "\n";
  return kFailure;
}

int failure(std::string_view what, const zv::platform::Error& error) {
  return failure(std::string(what) + ": " + toUtf8(error.description));
}

bool isHelpOption(std::string_view argument) {
  return argument == "--help" || argument == "-h";
}

// --- Describing styles ---

std::string number(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

std::string colorDescription(const Color& color) {
  switch (color.dynamic) {
    case Color::Dynamic::kText:
      return "text colour (dynamic)";
    case Color::Dynamic::kLabel:
      return "label colour (dynamic)";
    case Color::Dynamic::kSecondaryLabel:
      return "secondary label colour (dynamic)";
    case Color::Dynamic::kNone:
      break;
  }
  const auto byte = [](double component) {
    return static_cast<unsigned>(std::lround(std::clamp(component, 0.0, 1.0) * 255));
  };
  std::array<char, 16> hex{};
  std::snprintf(hex.data(), hex.size(), "#%02X%02X%02X", byte(color.red), byte(color.green),
                byte(color.blue));
  std::string text = hex.data();
  if (color.alpha != 1) {
    text += " alpha " + number(color.alpha);
  }
  return text;
}

std::string alignmentName(zv::richtext::TextAlignment alignment) {
  using zv::richtext::TextAlignment;
  switch (alignment) {
    case TextAlignment::kLeft:
      return "left";
    case TextAlignment::kRight:
      return "right";
    case TextAlignment::kCenter:
      return "centre";
    case TextAlignment::kJustified:
      return "justified";
    case TextAlignment::kNatural:
      return "natural";
  }
  return "alignment " + std::to_string(static_cast<std::int64_t>(alignment));
}

std::string listsDescription(const ParagraphStyle& paragraph) {
  if (paragraph.textLists.empty()) {
    return "none";
  }
  std::string text;
  for (const zv::richtext::TextList& list : paragraph.textLists) {
    text += (text.empty() ? "" : ", ") + shown(list.markerFormat) + " from " +
            std::to_string(list.startingItemNumber);
  }
  return text;
}

std::string paragraphSummary(const ParagraphStyle& paragraph) {
  return alignmentName(paragraph.alignment) + ", line spacing " + number(paragraph.lineSpacing) +
         ", paragraph spacing " + number(paragraph.paragraphSpacing) + ", line height multiple " +
         number(paragraph.lineHeightMultiple) + ", header level " +
         std::to_string(paragraph.headerLevel) + ", lists " + listsDescription(paragraph);
}

std::string yesNo(bool value) {
  return value ? "yes" : "no";
}

void printSummary(const QNTNoteTextStyle& style) {
  const zv::richtext::Font font = style.font();
  std::cout << shown(style.identifier().value_or(u"(none)")) << "\n"
            << "  name: " << shown(style.name().value_or(u"(none)")) << "\n"
            << "  kind: "
            << (zv::richtext::isStandardNoteTextStyleType(style.type()) ? "standard" : "custom")
            << " (type " << style.type() << ")\n"
            << "  font: " << shown(font.name) << " " << number(font.pointSize) << " pt"
            << (style.storedFont() ? "" : " (the user's font)") << "\n"
            << "  colour: " << colorDescription(style.foregroundColor()) << "\n"
            << "  paragraph: " << paragraphSummary(style.paragraphStyle()) << "\n"
            << "  flags: apply to paragraph " << yesNo(style.applyToParagraph())
            << ", reset on new line " << yesNo(style.resetOnNewLine()) << ", underline "
            << style.underlineStyle() << ", strikethrough " << style.strikethrough() << "\n";
}

void printDetails(const QNTNoteTextStyle& style) {
  printSummary(style);
  const ParagraphStyle paragraph = style.paragraphStyle();
  std::cout << "  paragraph spacing before: " << number(paragraph.paragraphSpacingBefore) << "\n"
            << "  line heights: minimum " << number(paragraph.minimumLineHeight) << ", maximum "
            << number(paragraph.maximumLineHeight) << "\n"
            << "  indents: head " << number(paragraph.headIndent) << ", first line "
            << number(paragraph.firstLineHeadIndent) << ", tail " << number(paragraph.tailIndent)
            << "\n"
            << "  tab stops:";
  if (paragraph.tabStops.empty()) {
    std::cout << " none";
  }
  for (const zv::richtext::TextTab& tab : paragraph.tabStops) {
    std::cout << " " << number(tab.location) << " (" << alignmentName(tab.alignment) << ")";
  }
  std::cout << "\n  default tab interval: " << number(paragraph.defaultTabInterval) << "\n"
            << "  saved: "
            << (style.shouldSaveToDefaults() ? "yes" : "no, equal to the built-in default")
            << "\n  allowed other attributes:";
  for (const std::u16string& name : style.otherAllowedAttributeNames()) {
    std::cout << " " << shown(name);
  }
  std::cout << "\n";
}

// --- Commands of styles ---

int listStyles() {
  bool first = true;
  for (const QNTNoteTextStylePtr& style : QNTNoteTextStyle::allStyles()) {
    std::cout << (first ? "" : "\n");
    first = false;
    printSummary(*style);
  }
  return 0;
}

int showStyle(const std::string& identifier) {
  QNTNoteTextStylePtr style = QNTNoteTextStyle::styleWithIdentifier(fromUtf8(identifier));
  if (!style) {
    return failure("No note text style with identifier " + identifier);
  }
  printDetails(*style);
  return 0;
}

// The bytes the store keeps, checked to be styles; or, when nothing is saved, the archive of
// the styles a save would write (none but changed standard ones), so that an export always
// imports.
zv::platform::Result<std::vector<std::uint8_t>> savedStylesData() {
  std::optional<zv::platform::PropertyList> stored =
      QNTNoteTextStyle::userDefaults().objectForKey(zv::richtext::QNTNoteTextStylesDefaultsKey);
  if (!stored) {
    std::vector<QNTNoteTextStylePtr> saved;
    for (const QNTNoteTextStylePtr& style : QNTNoteTextStyle::allStyles()) {
      if (style->shouldSaveToDefaults()) {
        saved.push_back(style);
      }
    }
    return zv::richtext::archivedDataWithNoteTextStyles(saved);
  }
  const zv::platform::PropertyList::Data* data = stored->asData();
  if (!data) {
    return zv::platform::makePlatformError(
        zv::platform::PlatformErrorCode::kKeyedArchiveReadCorrupt,
        u"The saved note styles are not an archive.");
  }
  ZV_TRY(zv::richtext::noteTextStylesWithArchivedData(*data));
  return *data;
}

int exportStyles(const std::string& path, bool force) {
  zv::platform::Result<std::vector<std::uint8_t>> data = savedStylesData();
  if (!data) {
    return failure("cannot read the saved note styles", data.error());
  }
  const zv::platform::URL file = zv::platform::URL::fileURLWithFileSystemPath(path);
  // The styles are the user's own data: the file is private to them.
  zv::platform::Result<void> written = zv::platform::writeFileAtomicallyAtURL(
      file, *data,
      force ? zv::platform::WriteMode::kReplaceExisting : zv::platform::WriteMode::kCreateNew,
      0600);
  if (!written) {
    if (written.error().code ==
        static_cast<std::int64_t>(zv::platform::PlatformErrorCode::kFileExists)) {
      return failure(path + " exists already; give --force to replace it");
    }
    return failure("cannot write " + path, written.error());
  }
  return 0;
}

// The destination's effective styles with the imported ones put in: a standard style replaces
// the one of its type, a custom style the one with its identifier, or joins the rest.
std::vector<QNTNoteTextStylePtr> mergedStyles(const std::vector<QNTNoteTextStylePtr>& imported) {
  std::vector<QNTNoteTextStylePtr> merged = QNTNoteTextStyle::allStyles();
  for (const QNTNoteTextStylePtr& style : imported) {
    const bool standard = zv::richtext::isStandardNoteTextStyleType(style->type());
    auto same = std::find_if(merged.begin(), merged.end(), [&](const QNTNoteTextStylePtr& other) {
      return standard ? other->type() == style->type()
                      : other->type() == zv::richtext::QNTNoteTextStyleTypeCustom &&
                            other->identifier() == style->identifier();
    });
    if (same != merged.end()) {
      *same = style;
    } else {
      merged.push_back(style);
    }
  }
  return merged;
}

int importStyles(const std::string& path) {
  zv::platform::Result<std::vector<std::uint8_t>> data = zv::platform::readFileAtURL(
      zv::platform::URL::fileURLWithFileSystemPath(path), kMaximumStylesFileSize);
  if (!data) {
    return failure("cannot read " + path, data.error());
  }
  zv::platform::Result<std::vector<QNTNoteTextStylePtr>> imported =
      zv::richtext::noteTextStylesWithArchivedData(*data);
  if (!imported) {
    return failure(path + " holds no note text styles", imported.error());
  }
  zv::platform::Result<void> saved =
      QNTNoteTextStyle::saveStylesToDefaults(mergedStyles(*imported));
  if (!saved) {
    return failure("cannot save the note text styles", saved.error());
  }
  std::cout << "Imported " << imported->size() << (imported->size() == 1 ? " style" : " styles")
            << " into " << QNTNoteTextStyle::userDefaults().path().string() << "\n";
  return 0;
}

int styles(std::span<const std::string> arguments) {
  if (std::any_of(arguments.begin(), arguments.end(),
                  [](const std::string& argument) { return isHelpOption(argument); })) {
    std::cout << usage();
    return 0;
  }
  const std::string command = arguments.empty() ? "list" : arguments.front();
  const std::span<const std::string> rest = arguments.empty() ? arguments : arguments.subspan(1);
  if (command == "list") {
    return rest.empty() ? listStyles() : usageError("list takes no arguments");
  }
  if (command == "show") {
    return rest.size() == 1 ? showStyle(rest.front()) : usageError("show needs exactly one ID");
  }
  if (command == "export") {
    std::vector<std::string> files;
    bool force = false;
    for (const std::string& argument : rest) {
      if (argument == "--force") {
        force = true;
      } else if (argument.starts_with("-") && argument != "-") {
        return usageError("unknown option " + argument);
      } else {
        files.push_back(argument);
      }
    }
    return files.size() == 1 ? exportStyles(files.front(), force)
                             : usageError("export needs exactly one FILE");
  }
  if (command == "import") {
    return rest.size() == 1 ? importStyles(rest.front())
                            : usageError("import needs exactly one FILE");
  }
  return usageError("unknown styles command " + command);
}

struct Command {
  std::string_view name;
  int (*run)(std::span<const std::string> arguments);
};

constexpr Command kCommands[] = {
    {"styles", &styles},
    {"clean-web", &zv::app::richtext_commands::cleanWeb},
    {"apply-styles", &zv::app::richtext_commands::applyStyles},
    {"scale", &zv::app::richtext_commands::scale},
    {"dynamic-colors", &zv::app::richtext_commands::dynamicColors},
    {"dump", &zv::app::richtext_commands::dump},
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.empty()) {
    return usageError("no command given");
  }
  if (isHelpOption(arguments.front())) {
    std::cout << usage();
    return 0;
  }
  for (const Command& command : kCommands) {
    if (command.name == arguments.front()) {
      return command.run(std::span<const std::string>(arguments).subspan(1));
    }
  }
  return usageError("unknown command " + arguments.front());
}
