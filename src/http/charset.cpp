// Implementation details: the 8-bit encoding is built on UTF-16 code units so that it
// means the same on every platform whatever the ANSI code page is. The HTML and XML
// scanners read only as far as the head of the document and never fail: a body they
// cannot make sense of simply names no charset.
#include "http/charset.h"

#include <algorithm>
#include <optional>

#include "http/header_list.h"
#include "platform/codepage.h"
#include "support/strings.h"

namespace qb {
namespace {

std::optional<int> CodePageOf(std::string_view charset) {
  if (Trim(charset).empty()) return std::nullopt;
  return platform::CodePageOfCharset(charset);
}

bool EndsWithText(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && SameTextAscii(text.substr(text.size() - suffix.size()), suffix);
}

// Position of `word` in `text` from `from` on, ignoring ASCII case.
std::size_t FindText(std::string_view text, std::string_view word, std::size_t from = 0) {
  const auto it = std::search(text.begin() + static_cast<std::ptrdiff_t>(std::min(from, text.size())), text.end(),
                              word.begin(), word.end(), [](char a, char b) {
                                return (a >= 'A' && a <= 'Z' ? a + 32 : a) == (b >= 'A' && b <= 'Z' ? b + 32 : b);
                              });
  return it == text.end() ? std::string_view::npos : static_cast<std::size_t>(it - text.begin());
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

// One attribute of a tag: name and value, read from `at`; false at the tag's end.
bool NextAttribute(std::string_view tag, std::size_t& at, std::string& name, std::string& value) {
  while (at < tag.size() && (IsSpace(tag[at]) || tag[at] == '/')) ++at;
  if (at >= tag.size()) return false;
  const std::size_t nameStart = at;
  while (at < tag.size() && !IsSpace(tag[at]) && tag[at] != '=' && tag[at] != '/') ++at;
  name = LowerCaseAscii(tag.substr(nameStart, at - nameStart));
  value.clear();
  std::size_t look = at;
  while (look < tag.size() && IsSpace(tag[look])) ++look;
  if (look >= tag.size() || tag[look] != '=') return true;
  at = look + 1;
  while (at < tag.size() && IsSpace(tag[at])) ++at;
  if (at < tag.size() && (tag[at] == '"' || tag[at] == '\'')) {
    const char quote = tag[at++];
    const std::size_t end = std::min(tag.find(quote, at), tag.size());
    value = tag.substr(at, end - at);
    at = end + 1;
  } else {
    const std::size_t start = at;
    while (at < tag.size() && !IsSpace(tag[at])) ++at;
    value = tag.substr(start, at - start);
  }
  return true;
}

}  // namespace

std::string DecodeCharsetText(std::string_view bytes, std::string_view charset) {
  if (const auto codePage = CodePageOf(charset)) return platform::ConvertCodePage(*codePage, 0, bytes);
  std::u16string wide(bytes.size(), u'\0');
  std::transform(bytes.begin(), bytes.end(), wide.begin(),
                 [](char b) { return static_cast<char16_t>(static_cast<unsigned char>(b)); });
  return platform::WideToMultiByte(0, wide);
}

std::string EncodeCharsetText(std::string_view text, std::string_view charset) {
  const std::u16string wide = platform::MultiByteToWide(0, text);
  if (const auto codePage = CodePageOf(charset)) return platform::WideToMultiByte(*codePage, wide);
  if (std::any_of(wide.begin(), wide.end(), [](char16_t c) { return c > 0xFF; })) return std::string(text);
  std::string bytes(wide.size(), '\0');
  std::transform(wide.begin(), wide.end(), bytes.begin(), [](char16_t c) { return static_cast<char>(c); });
  return bytes;
}

std::string DefaultCharsetOfMediaType(std::string_view mediaType) {
  const std::size_t slash = mediaType.find('/');
  if (slash == std::string_view::npos || !SameTextAscii(mediaType.substr(0, slash), "text")) return std::string();
  const std::string_view subtype = mediaType.substr(slash + 1);
  if (SameTextAscii(subtype, "xml") || SameTextAscii(subtype, "xml-external-parsed-entity") ||
      EndsWithText(subtype, "+xml")) {
    return "us-ascii";
  }
  return "ISO-8859-1";
}

bool IsHtmlMediaType(std::string_view mediaType) {
  return SameTextAscii(mediaType, "text/html") || SameTextAscii(mediaType, "text/html-sandboxed") ||
         SameTextAscii(mediaType, "application/xhtml+xml");
}

bool IsXmlMediaType(std::string_view mediaType) {
  if (SameTextAscii(mediaType, "application/xml") || SameTextAscii(mediaType, "application/xml-dtd") ||
      SameTextAscii(mediaType, "application/xml-external-parsed-entity")) {
    return true;
  }
  return !StartsTextAscii("text/", mediaType) && EndsWithText(mediaType, "+xml");
}

std::string DetectXmlCharset(std::string_view body) {
  if (body.substr(0, 3) == "\xEF\xBB\xBF") return "UTF-8";
  if (body.substr(0, 2) == "\xFE\xFF") return "UTF-16BE";
  if (body.substr(0, 2) == "\xFF\xFE") return "UTF-16LE";
  if (body.substr(0, 4) == std::string_view("<\0?\0", 4)) return "UTF-16LE";
  if (body.substr(0, 4) == std::string_view("\0<\0?", 4)) return "UTF-16BE";
  if (body.substr(0, 5) != "<?xml") return "UTF-8";
  const std::string_view declaration = body.substr(0, body.find("?>"));
  std::size_t at = 5;
  std::string name;
  std::string value;
  while (NextAttribute(declaration, at, name, value)) {
    if (name == "encoding" && !value.empty()) return value;
  }
  return "UTF-8";
}

std::string ParseMetaHttpEquiv(std::string_view html, TNetHeaderList& headers) {
  std::string charset;
  std::size_t at = 0;
  while ((at = html.find('<', at)) != std::string_view::npos) {
    const std::string_view rest = html.substr(at);
    if (rest.substr(0, 4) == "<!--") {
      const std::size_t end = html.find("-->", at + 4);
      if (end == std::string_view::npos) break;
      at = end + 3;
      continue;
    }
    if (FindText(rest.substr(0, 6), "</head") == 0 || FindText(rest.substr(0, 5), "<body") == 0) break;
    const std::size_t close = html.find('>', at);
    if (close == std::string_view::npos) break;
    if (FindText(rest.substr(0, 5), "<meta") == 0 && (rest.size() > 5 && (IsSpace(rest[5]) || rest[5] == '/'))) {
      const std::string_view tag = html.substr(at + 5, close - at - 5);
      std::string equiv, content, name, value;
      for (std::size_t pos = 0; NextAttribute(tag, pos, name, value);) {
        if (name == "http-equiv") equiv = value;
        else if (name == "content") content = value;
        else if (name == "charset" && !Trim(value).empty()) charset = std::string(Trim(value));
      }
      if (!Trim(equiv).empty()) {
        headers.AddValue(Trim(equiv), Trim(content));
        if (SameTextAscii(Trim(equiv), "Content-Type")) {
          if (std::string named = HeaderParameter(content, "charset"); !named.empty()) charset = named;
        }
      }
    }
    at = close + 1;
  }
  return charset;
}

}  // namespace qb
