#include "app/richtext_text_commands.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "platform/files.h"
#include "platform/log.h"
#include "platform/result.h"
#include "platform/unicode.h"
#include "platform/url.h"
#include "richtext/attributed_string.h"
#include "richtext/dynamic_colors.h"
#include "richtext/formatting.h"
#include "richtext/html_reader.h"
#include "richtext/note_text_style_application.h"
#include "richtext/rtf_reader.h"
#include "richtext/rtf_writer.h"
#include "richtext/web_page_text.h"

namespace zv::app::richtext_commands {

const char kUsage[] =
    "       zelvar-richtext clean-web IN [-o OUT [--force]] [--newlines] [--sizes] [--colors]\n"
    "       zelvar-richtext apply-styles IN [-o OUT [--force]]\n"
    "       zelvar-richtext scale FACTOR IN [-o OUT [--force]]\n"
    "       zelvar-richtext dynamic-colors to|from IN [-o OUT [--force]]\n"
    "       zelvar-richtext dump IN\n";

namespace {

using richtext::AttributedString;
using richtext::MutableAttributedString;

// Rich-text documents are small; anything far larger is not one we should hold in memory.
constexpr std::size_t kMaximumInputSize = std::size_t{256} << 20;

int usageError(std::string_view message) {
  // The usage lines begin indented under "Usage: ", which takes the first one's indent.
  std::cerr << "zelvar-richtext: " << platform::escapedControlCharacters(message)
            << "\n\nUsage:" << (kUsage + 6) << "Try 'zelvar-richtext --help' for more.\n";
  return kExitUsage;
}

int failure(std::string_view message) {
  std::cerr << "zelvar-richtext: " << platform::escapedControlCharacters(message) << "\n";
  return kExitFailure;
}

// The arguments of a command: its operands in order, the output and the switches given.
struct Arguments {
  std::vector<std::string> operands;
  std::optional<std::string> output;
  bool force = false;
  std::vector<std::string> switches;
};

platform::Result<Arguments> parse(std::span<const std::string> arguments,
                                  std::span<const std::string_view> allowedSwitches,
                                  bool allowsOutput) {
  Arguments parsed;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (allowsOutput && (argument == "-o" || argument == "--output")) {
      if (i + 1 == arguments.size()) {
        return platform::makePlatformError(platform::PlatformErrorCode::kInvalidValue,
                                           platform::fromUtf8(argument + " needs a file"));
      }
      parsed.output = arguments[++i];
    } else if (allowsOutput && argument == "--force") {
      parsed.force = true;
    } else if (std::find(allowedSwitches.begin(), allowedSwitches.end(), argument) !=
               allowedSwitches.end()) {
      parsed.switches.push_back(argument);
    } else if (argument.starts_with("-") && argument != "-" && argument.size() > 1 &&
               !(argument[1] >= '0' && argument[1] <= '9')) {
      return platform::makePlatformError(platform::PlatformErrorCode::kInvalidValue,
                                         platform::fromUtf8("unknown option " + argument));
    } else {
      parsed.operands.push_back(argument);
    }
  }
  return parsed;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

enum class InputKind { kRTF, kWebArchive, kHTML, kUnknown };

// By content, never by name: the first bytes after a byte-order mark and white space.
InputKind inputKind(std::span<const std::uint8_t> bytes) {
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text.starts_with("\xEF\xBB\xBF")) {
    text.remove_prefix(3);
  }
  if (text.starts_with("bplist00")) {
    return InputKind::kWebArchive;
  }
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' ||
                           text.front() == '\r')) {
    text.remove_prefix(1);
  }
  if (text.starts_with("{\\rtf")) {
    return InputKind::kRTF;
  }
  if (startsWithIgnoringCase(text, "<?xml") &&
      text.substr(0, 1024).find("<plist") != std::string_view::npos) {
    return InputKind::kWebArchive;
  }
  if (text.starts_with("<")) {
    return InputKind::kHTML;
  }
  // A page that begins with text still names its elements early.
  std::string head(text.substr(0, 4096));
  std::transform(head.begin(), head.end(), head.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const std::string_view tag : {"<html", "<body", "<!doctype html"}) {
    if (head.find(tag) != std::string::npos) {
      return InputKind::kHTML;
    }
  }
  return InputKind::kUnknown;
}

platform::Result<MutableAttributedString> readRichText(const std::string& path) {
  ZV_ASSIGN_OR_RETURN(
      std::vector<std::uint8_t> bytes,
      platform::readFileAtURL(platform::URL::fileURLWithFileSystemPath(path), kMaximumInputSize));
  switch (inputKind(bytes)) {
    case InputKind::kRTF: {
      ZV_ASSIGN_OR_RETURN(AttributedString text, richtext::attributedStringFromRTF(bytes));
      return MutableAttributedString(std::move(text));
    }
    case InputKind::kWebArchive: {
      ZV_ASSIGN_OR_RETURN(AttributedString text, richtext::attributedStringFromWebArchive(bytes));
      return MutableAttributedString(std::move(text));
    }
    case InputKind::kHTML: {
      ZV_ASSIGN_OR_RETURN(AttributedString text,
                          richtext::attributedStringFromHTML(bytes, nullptr));
      return MutableAttributedString(std::move(text));
    }
    case InputKind::kUnknown:
      break;
  }
  return platform::makePlatformError(platform::PlatformErrorCode::kInvalidValue,
                                     u"The file is neither RTF, HTML nor a web archive.");
}

// Writes the text as RTF to the output, or to standard output when none is given. An existing
// output file is kept unless forced, like the styles export: it may be the user's own document.
int writeRichText(const AttributedString& text, const Arguments& arguments) {
  platform::Result<std::vector<std::uint8_t>> rtf = richtext::rtfDataFromAttributedString(text);
  if (!rtf) {
    return failure("cannot write RTF: " + platform::toUtf8(rtf.error().description));
  }
  if (!arguments.output) {
    std::cout.write(reinterpret_cast<const char*>(rtf->data()),
                    static_cast<std::streamsize>(rtf->size()));
    std::cout.flush();
    return std::cout ? 0 : failure("cannot write to standard output");
  }
  const std::string& path = *arguments.output;
  platform::Result<void> written = platform::writeFileAtomicallyAtURL(
      platform::URL::fileURLWithFileSystemPath(path), *rtf,
      arguments.force ? platform::WriteMode::kReplaceExisting : platform::WriteMode::kCreateNew,
      0600);
  if (!written) {
    if (written.error().code ==
        static_cast<std::int64_t>(platform::PlatformErrorCode::kFileExists)) {
      return failure(path + " exists already; give --force to replace it");
    }
    return failure("cannot write " + path + ": " + platform::toUtf8(written.error().description));
  }
  return 0;
}

// Parses, reads IN (the last operand), changes it and writes it.
template <typename Change>
int transformFile(std::span<const std::string> raw, std::span<const std::string_view> switches,
                  std::size_t leadingOperands, std::string_view usage, Change change) {
  platform::Result<Arguments> arguments = parse(raw, switches, true);
  if (!arguments) {
    return usageError(platform::toUtf8(arguments.error().description));
  }
  if (arguments->operands.size() != leadingOperands + 1) {
    return usageError(usage);
  }
  const std::string& input = arguments->operands.back();
  platform::Result<MutableAttributedString> text = readRichText(input);
  if (!text) {
    return failure("cannot read " + input + ": " + platform::toUtf8(text.error().description));
  }
  if (const std::optional<int> refused = change(*text, *arguments)) {
    return *refused;
  }
  return writeRichText(*text, *arguments);
}

bool has(const Arguments& arguments, std::string_view name) {
  return std::find(arguments.switches.begin(), arguments.switches.end(), name) !=
         arguments.switches.end();
}

// --- dump ---

std::string number(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

std::string colorDescription(const richtext::Color& color) {
  switch (color.dynamic) {
    case richtext::Color::Dynamic::kText:
      return "textColor";
    case richtext::Color::Dynamic::kLabel:
      return "labelColor";
    case richtext::Color::Dynamic::kSecondaryLabel:
      return "secondaryLabelColor";
    case richtext::Color::Dynamic::kNone:
      break;
  }
  const auto byte = [](double component) {
    return static_cast<unsigned>(std::lround(std::clamp(component, 0.0, 1.0) * 255));
  };
  std::array<char, 16> hex{};
  std::snprintf(hex.data(), hex.size(), "#%02X%02X%02X", byte(color.red), byte(color.green),
                byte(color.blue));
  return color.alpha == 1 ? std::string(hex.data())
                          : std::string(hex.data()) + "/" + number(color.alpha);
}

std::string intentDescription(const richtext::PresentationIntent& intent) {
  static constexpr const char* kKinds[] = {"paragraph",     "header",       "orderedList",
                                           "unorderedList", "listItem",     "codeBlock",
                                           "blockQuote",    "thematicBreak"};
  const auto kind = static_cast<std::size_t>(intent.kind());
  std::string text = kind < std::size(kKinds) ? kKinds[kind] : "intent" + std::to_string(kind);
  if (intent.kind() == richtext::PresentationIntent::Kind::kHeader) {
    text += std::to_string(intent.headerLevel());
  }
  if (const richtext::PresentationIntent* parent = intent.parentIntent()) {
    text += "<" + intentDescription(*parent);
  }
  return text;
}

std::string paragraphDescription(const richtext::ParagraphStyle& style) {
  std::string text = "align " + std::to_string(static_cast<std::int64_t>(style.alignment));
  const std::pair<const char*, double> measures[] = {
      {"lineSpacing", style.lineSpacing},
      {"paragraphSpacing", style.paragraphSpacing},
      {"paragraphSpacingBefore", style.paragraphSpacingBefore},
      {"lineHeightMultiple", style.lineHeightMultiple},
      {"headIndent", style.headIndent},
      {"firstLineHeadIndent", style.firstLineHeadIndent},
      {"tailIndent", style.tailIndent},
      {"defaultTabInterval", style.defaultTabInterval}};
  for (const auto& [name, value] : measures) {
    if (value != 0) {
      text += std::string(" ") + name + " " + number(value);
    }
  }
  text += " tabs " + std::to_string(style.tabStops.size());
  if (style.headerLevel != 0) {
    text += " header " + std::to_string(style.headerLevel);
  }
  for (const richtext::TextList& list : style.textLists) {
    text += " list " + platform::toUtf8(list.markerFormat) + "@" +
            std::to_string(list.startingItemNumber);
  }
  return text;
}

std::string valueDescription(const richtext::AttributeValue& value) {
  return std::visit(
      [](const auto& item) -> std::string {
        using T = std::decay_t<decltype(item)>;
        if constexpr (std::is_same_v<T, richtext::Font>) {
          return platform::toUtf8(item.name) + " " + number(item.pointSize);
        } else if constexpr (std::is_same_v<T, richtext::Color>) {
          return colorDescription(item);
        } else if constexpr (std::is_same_v<T, platform::URL>) {
          return platform::toUtf8(item.absoluteString());
        } else if constexpr (std::is_same_v<T, bool>) {
          return item ? "YES" : "NO";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return std::to_string(item);
        } else if constexpr (std::is_same_v<T, double>) {
          return number(item);
        } else if constexpr (std::is_same_v<T, std::u16string>) {
          return platform::toUtf8(item);
        } else if constexpr (std::is_same_v<T, richtext::ParagraphStyle>) {
          return paragraphDescription(item);
        } else if constexpr (std::is_same_v<T, richtext::PresentationIntent>) {
          return intentDescription(item);
        } else {
          std::string text;
          for (const std::int64_t direction : item) {
            text += (text.empty() ? "" : ",") + std::to_string(direction);
          }
          return "[" + text + "]";
        }
      },
      value);
}

}  // namespace

int cleanWeb(std::span<const std::string> raw) {
  static constexpr std::string_view kSwitches[] = {"--newlines", "--sizes", "--colors"};
  return transformFile(
      raw, kSwitches, 0, "clean-web needs exactly one IN",
      [](MutableAttributedString& text, const Arguments& arguments) -> std::optional<int> {
        if (arguments.switches.empty()) {
          richtext::web_page_text::cleanupWebPageText(text);
        } else {
          richtext::web_page_text::cleanupWebPageText(text, has(arguments, "--newlines"),
                                                      has(arguments, "--sizes"),
                                                      has(arguments, "--colors"));
        }
        return std::nullopt;
      });
}

int applyStyles(std::span<const std::string> raw) {
  return transformFile(raw, {}, 0, "apply-styles needs exactly one IN",
                       [](MutableAttributedString& text, const Arguments&) -> std::optional<int> {
                         richtext::identifyAndApplyMatchingStylesDefaultingToBody(text, true);
                         return std::nullopt;
                       });
}

int scale(std::span<const std::string> raw) {
  return transformFile(
      raw, {}, 1, "scale needs a FACTOR and one IN",
      [](MutableAttributedString& text, const Arguments& arguments) -> std::optional<int> {
        const std::string& written = arguments.operands.front();
        char* end = nullptr;
        errno = 0;
        const double factor = std::strtod(written.c_str(), &end);
        if (written.empty() || end != written.c_str() + written.size() || errno != 0 ||
            !std::isfinite(factor) || factor <= 0) {
          return usageError("FACTOR must be a positive number, not " + written);
        }
        richtext::formatting::scaleWithFactor(text, factor);
        return std::nullopt;
      });
}

int dynamicColors(std::span<const std::string> raw) {
  return transformFile(
      raw, {}, 1, "dynamic-colors needs to or from and one IN",
      [](MutableAttributedString& text, const Arguments& arguments) -> std::optional<int> {
        const std::string& direction = arguments.operands.front();
        if (direction == "to") {
          richtext::dynamic_colors::convertToDynamicColors(text);
        } else if (direction == "from") {
          richtext::dynamic_colors::convertFromDynamicColors(text);
        } else {
          return usageError("dynamic-colors goes to or from, not " + direction);
        }
        return std::nullopt;
      });
}

int dump(std::span<const std::string> raw) {
  platform::Result<Arguments> arguments = parse(raw, {}, false);
  if (!arguments) {
    return usageError(platform::toUtf8(arguments.error().description));
  }
  if (arguments->operands.size() != 1) {
    return usageError("dump needs exactly one IN");
  }
  const std::string& input = arguments->operands.front();
  platform::Result<MutableAttributedString> text = readRichText(input);
  if (!text) {
    return failure("cannot read " + input + ": " + platform::toUtf8(text.error().description));
  }
  std::string out;
  text->enumerateAttributesInRange(
      {0, text->length()}, [&](const richtext::Attributes& attributes, richtext::Range run, bool&) {
        out += std::to_string(run.location) + "+" + std::to_string(run.length) + " \"" +
               platform::escapedControlCharacters(platform::toUtf8(
                   std::u16string_view(text->string()).substr(run.location, run.length))) +
               "\"";
        for (const auto& [key, value] : attributes) {
          // Values may come from a hostile document: never let them steer the terminal.
          out += " " + platform::escapedControlCharacters(platform::toUtf8(key)) + "=" +
                 platform::escapedControlCharacters(valueDescription(value));
        }
        out += "\n";
      });
  std::cout << out;
  std::cout.flush();
  return std::cout ? 0 : failure("cannot write to standard output");
}

}  // namespace zv::app::richtext_commands
