#include "weblink/url_extensions.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "platform/unicode.h"

namespace zv::weblink {
namespace {

using platform::URL;

URL urlFrom(std::u16string_view text) {
  std::optional<URL> url = URL::fromStringAllowingRelative(text);
  EXPECT_TRUE(url.has_value()) << platform::toUtf8(text);
  return url.value_or(URL::fileURLWithPath(u"/"));
}

TEST(URLCleanedForImport, TurnsReaderViewsBackIntoThePage) {
  const std::pair<std::u16string, std::optional<std::u16string>> cases[] = {
      // Only the scheme changes; everything after it is kept as it stands.
      {u"safari-reader://example.com/a/b%20c?x=1&y=2#frag",
       u"http://example.com/a/b%20c?x=1&y=2#frag"},
      {u"Safari-Reader://example.com/", u"Safari-Reader://example.com/"},
      {u"about:reader?id=7&url=https%3A%2F%2Fexample.com%2Fp%3Fa%3D1%26b%3D2%23top",
       u"https://example.com/p?a=1&b=2#top"},
      {u"about:reader?url=https%3A%2F%2Fone.example&url=https%3A%2F%2Ftwo.example",
       u"https://one.example"},
      {u"about:reader?id=7", u"about:reader?id=7"},
      {u"about:blank?url=https%3A%2F%2Fexample.com", u"about:blank?url=https%3A%2F%2Fexample.com"},
      {u"https://example.com/reader?url=https%3A%2F%2Fx.example",
       u"https://example.com/reader?url=https%3A%2F%2Fx.example"},
      {u"file:///tmp/safari-reader", u"file:///tmp/safari-reader"},
      {u"about:reader?url", std::nullopt},
      {u"about:reader?url=no%20scheme", std::nullopt},
      // A reader link must not smuggle in an address that reaches the disk or runs script.
      {u"about:reader?url=file%3A%2F%2F%2Fetc%2Fpasswd", std::nullopt},
      {u"about:reader?url=javascript%3Aalert(1)", std::nullopt},
      // Links without a scheme are kept as they stand, whatever they hold.
      {u"www.example.com/page", u"www.example.com/page"},
      {u"?url=https%3A%2F%2Fx.example", u"?url=https%3A%2F%2Fx.example"},
      {u"#frag", u"#frag"},
      {u"//example.com/reader?url=x", u"//example.com/reader?url=x"},
  };
  for (const auto& [input, expected] : cases) {
    SCOPED_TRACE(platform::toUtf8(input));
    std::optional<URL> cleaned = URLCleanedForImport(urlFrom(input));
    EXPECT_EQ(cleaned ? std::optional(cleaned->absoluteString()) : std::nullopt, expected);
  }
}

TEST(HighlightedText, ReadsTheDirectiveParts) {
  const std::tuple<std::u16string, std::vector<std::u16string>, bool> cases[] = {
      {u"https://e.example/#:~:text=start,end", {u"start", u"end"}, true},
      {u"https://e.example/#:~:text=pre-,start,end,-suf",
       {u"pre-", u"start", u"end", u"-suf"},
       true},
      {u"https://e.example/#:~:text=a,b,c,d,e", {u"a", u"b", u"c", u"d", u"e"}, false},
      {u"https://e.example/#top:~:text=a&text=b", {u"a&text=b"}, true},
      {u"https://e.example/#:~:text=caf%C3%A9%2C%20bar", {u"caf\u00e9, bar"}, true},
      // Escapes that decode to no UTF-8 keep the part in place rather than losing it.
      {u"https://e.example/#:~:text=bad%FF,ok", {u"bad%FF", u"ok"}, true},
      {u"https://e.example/#:~:text=", {}, false},
      {u"https://e.example/#section", {}, false},
      {u"https://e.example/?q=:~:text=a", {}, false},
      {u"#:~:text=start,end", {u"start", u"end"}, true},
  };
  for (const auto& [address, components, contained] : cases) {
    SCOPED_TRACE(platform::toUtf8(address));
    URL url = urlFrom(address);
    EXPECT_EQ(highlightedTextComponents(url), components);
    EXPECT_EQ(containsHighlightedText(url), contained);
  }
}

TEST(HighlightedText, FindsThePassageInThePageText) {
  const std::tuple<std::u16string, std::u16string, std::optional<std::u16string>> cases[] = {
      {u"pre-,start,end,-suf", u"x pre start middle end -suf", u"start middle end"},
      {u"start,end", u"no start here, but an end", u"start here, but an end"},
      {u"lonely", u"the text has nothing of it", u"lonely"},
      {u"start,end", u"end before start", std::nullopt},
      {u"gone,end", u"start end", std::nullopt},
      {u"a,b,c", u"a b c", std::nullopt},
      {u",end", u"start end", std::nullopt},
      // The prefix picks the second passage; a decomposed prefix matches a precomposed text,
      // but a prefix differing in case does not.
      {u"cafe%CC%81-,start,end", u"start A end. caf\u00e9 start B end", u"start B end"},
      {u"Caf%C3%A9-,start,end", u"start A end. caf\u00e9 start B end", u"start A end"},
      // The start must lie before the last suffix; the end need not.
      {u"pre-,start,end,-suf", u"pre suf start x end", std::nullopt},
      {u"pre-,start,end,-suf", u"pre start suf end", u"start suf end"},
      // An escaped hyphen is text, not the mark of a context part.
      {u"well%2D,known", u"a well-known b", u"well-known"},
      // A start or end text that reads like the prefix is still searched for.
      {u"p-,s,p-", u"p s x p- y", u"s x p-"},
      // The start text is looked for after the prefix, not inside it.
      {u"ab-,ab,ef", u"ab cd ab ef", u"ab ef"},
  };
  for (const auto& [fragment, text, expected] : cases) {
    SCOPED_TRACE(platform::toUtf8(fragment + u" in " + text));
    URL url = urlFrom(u"https://e.example/page#:~:text=" + fragment);
    EXPECT_EQ(highlightedTextFromString(url, text), expected);
  }
  EXPECT_EQ(highlightedTextFromString(urlFrom(u"https://e.example/"), u"anything"), std::nullopt);
}

TEST(MatchesHost, ComparesLabelsFromTheRight) {
  const std::tuple<std::u16string, std::u16string, bool> cases[] = {
      {u"https://a.b.c/path", u"b.c", true},
      {u"https://a.b.c/path", u"B.c", true},
      {u"https://A.B.C/path", u"a.b.c", true},
      {u"https://a.b.c/path", u"c.b", false},
      {u"https://a.b.c/path", u"xb.c", false},
      {u"https://a.b.c/path", u"z.a.b.c", false},
      {u"https://xa.b.c/path", u"a.b.c", false},
      {u"https://\u00c4.example/", u"\u00e4.example", true},
      // A final dot names the same host, fully qualified; only that one dot goes.
      {u"https://a.example/", u"a.example.", true},
      {u"https://www.a.example./", u"A.EXAMPLE", true},
      {u"https://www.a.example./", u"a.example.", true},
      {u"https://a.example../", u"a.example", false},
      {u"https://a.example/", u".", false},
      {u"https://./", u"", false},
      {u"file:///tmp/x", u"", false},
      {u"about:reader", u"reader", false},
      {u"www.example.com/page", u"example.com", false},
      {u"//www.example.com/page", u"example.com", true},
  };
  for (const auto& [url, host, expected] : cases) {
    SCOPED_TRACE(platform::toUtf8(url) + " against " + platform::toUtf8(host));
    EXPECT_EQ(matchesHost(urlFrom(url), host), expected);
  }
}

}  // namespace
}  // namespace zv::weblink
