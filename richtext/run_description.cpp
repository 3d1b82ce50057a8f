#include "richtext/run_description.h"

#include <cmath>
#include <cstdio>
#include <string_view>

#include "platform/unicode.h"

namespace zv::richtext {

std::string describeParagraphStyle(const ParagraphStyle& style) {
  std::string out = "P[";
  auto field = [&out](const char* name, double value, double unset = 0) {
    if (value != unset) {
      char text[48];
      std::snprintf(text, sizeof text, "%s=%g ", name, value);
      out += text;
    }
  };
  field("align", static_cast<double>(style.alignment),
        static_cast<double>(TextAlignment::kNatural));
  field("before", style.paragraphSpacingBefore);
  field("after", style.paragraphSpacing);
  field("leading", style.lineSpacing);
  field("multiple", style.lineHeightMultiple);
  field("min", style.minimumLineHeight);
  field("max", style.maximumLineHeight);
  field("head", style.headIndent);
  field("first", style.firstLineHeadIndent);
  field("tail", style.tailIndent);
  field("header", static_cast<double>(style.headerLevel));
  for (const TextTab& tab : style.tabStops) {
    field(tab.alignment == TextAlignment::kRight    ? "tabR"
          : tab.alignment == TextAlignment::kCenter ? "tabC"
                                                    : "tab",
          tab.location, -1);
  }
  for (const TextList& list : style.textLists) {
    out += "list=" + platform::toUtf8(list.markerFormat) + std::to_string(list.startingItemNumber) +
           " ";
  }
  if (out.back() == ' ') {
    out.pop_back();
  }
  return out + "]";
}

namespace {

std::string describeRun(const AttributedString& text, const AttributeRun& run) {
  std::string out = platform::toUtf8(
      std::u16string_view(text.string()).substr(run.range.location, run.range.length));
  if (auto font = run.attributes.find(NSFontAttributeName); font != run.attributes.end()) {
    const auto& value = std::get<Font>(font->second);
    char size[32];
    std::snprintf(size, sizeof size, "%g", value.pointSize);
    out += "|" + platform::toUtf8(value.name) + " " + size;
  }
  if (run.attributes.contains(NSUnderlineStyleAttributeName)) {
    out += " ul";
  }
  if (run.attributes.contains(NSStrikethroughStyleAttributeName)) {
    out += " st";
  }
  for (const auto& [name, prefix] : {std::pair{NSForegroundColorAttributeName, " #"},
                                     {NSBackgroundColorAttributeName, " bg#"}}) {
    if (auto color = run.attributes.find(name); color != run.attributes.end()) {
      const auto& value = std::get<Color>(color->second);
      char hex[16];
      std::snprintf(hex, sizeof hex, "%s%02x%02x%02x", prefix,
                    static_cast<unsigned>(std::lround(value.red * 255)),
                    static_cast<unsigned>(std::lround(value.green * 255)),
                    static_cast<unsigned>(std::lround(value.blue * 255)));
      out += hex;
    }
  }
  if (auto link = run.attributes.find(NSLinkAttributeName); link != run.attributes.end()) {
    if (const auto* url = std::get_if<platform::URL>(&link->second)) {
      out += " url=" + platform::toUtf8(url->absoluteString());
    } else {
      out += " link=" + platform::toUtf8(std::get<std::u16string>(link->second));
    }
  }
  if (auto style = run.attributes.find(NSParagraphStyleAttributeName);
      style != run.attributes.end()) {
    out += " " + describeParagraphStyle(std::get<ParagraphStyle>(style->second));
  }
  return out;
}

}  // namespace

std::vector<std::string> describeRuns(const AttributedString& text) {
  std::vector<std::string> runs;
  for (const AttributeRun& run : text.runs()) {
    runs.push_back(describeRun(text, run));
  }
  return runs;
}

}  // namespace zv::richtext
