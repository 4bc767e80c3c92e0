// Implementation details: the text is converted to the charset first, then split into
// words at blanks and tabs. Plain words are copied; consecutive words that need encoding
// form one run and become one encoded word (folded into several at the line limit). The
// line counter is local to each run: text before the run on the same line is not counted.
#include "http/quoted_name.h"

#include <algorithm>
#include <optional>

#include "platform/codepage.h"
#include "platform/locale.h"
#include "support/base64.h"
#include "support/format.h"
#include "support/strings.h"

namespace qb {
namespace {

constexpr std::size_t kMaxLineLength = 75;

bool IsWordSeparator(char c) { return c == ' ' || c == '\t'; }

bool IsTokenChar(char c) {
  const auto b = static_cast<unsigned char>(c);
  if (b <= 32 || b >= 127) return false;
  return std::string_view("()<>@,;:\"/[]?.=").find(c) == std::string_view::npos;
}

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
         c == '=';
}

// Whether `text` holds an encoded word ("=?charset?B?...?=" or "?Q?"), which a decoder
// of the header would replace: then a literal "=" must not pass through unencoded.
bool ContainsEncodedWord(std::string_view text) {
  for (std::size_t at = text.find("=?"); at != std::string_view::npos; at = text.find("=?", at + 1)) {
    std::size_t i = at + 2;
    const std::size_t charsetStart = i;
    while (i < text.size() && IsTokenChar(text[i])) ++i;
    if (i == charsetStart || i + 2 >= text.size() || text[i] != '?' || text[i + 2] != '?') continue;
    const char letter = text[i + 1];
    const bool base64 = letter == 'B' || letter == 'b';
    if (!base64 && letter != 'Q' && letter != 'q') continue;
    i += 3;
    const std::size_t encodedStart = i;
    while (i < text.size() && text[i] != '?' && static_cast<unsigned char>(text[i]) > 32 &&
           static_cast<unsigned char>(text[i]) < 127 && (!base64 || IsBase64Char(text[i]))) {
      ++i;
    }
    if (i > encodedStart && i + 1 < text.size() && text[i] == '?' && text[i + 1] == '=') return true;
  }
  return false;
}

// Bytes that "Q" copies as they are; every other byte becomes "=XX" (a blank "_").
bool IsQLiteral(unsigned char b) {
  return (b >= 33 && b <= 60) || b == 62 || (b >= 64 && b <= 94) || (b >= 96 && b <= 126);
}

class EncodedRunWriter {
 public:
  EncodedRunWriter(std::string& out, std::string_view charset, char letter, std::string_view specials)
      : out_(out), specials_(specials), opening_(Format("=?%s?%s?", charset, letter)) {}

  void Write(std::string_view bytes, bool base64) {
    Open();
    if (base64) {
      const std::string encoded = Base64Encode(bytes);
      for (std::size_t i = 0; i < encoded.size(); i += 4) Piece(std::string_view(encoded).substr(i, 4));
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == ' ') {
          Piece("_");
        } else if (IsQLiteral(b) && specials_.find(c) == std::string_view::npos) {
          Piece(std::string_view(&c, 1));
        } else {
          const char escaped[3] = {'=', kHex[b >> 4], kHex[b & 15]};
          Piece(std::string_view(escaped, 3));
        }
      }
    }
    out_ += "?=";
  }

 private:
  void Open() {
    out_ += opening_;
    length_ = opening_.size() + 2;
    piecesOnLine_ = 0;
  }

  void Piece(std::string_view piece) {
    // A line always takes one piece, so an over-long charset name cannot fold forever.
    if (length_ + piece.size() > kMaxLineLength && piecesOnLine_ > 0) {
      out_ += "?=\r\n ";
      Open();
    }
    out_ += piece;
    length_ += piece.size();
    ++piecesOnLine_;
  }

  std::string& out_;
  std::string_view specials_;
  std::string opening_;
  std::size_t length_ = 0;
  std::size_t piecesOnLine_ = 0;
};

}  // namespace

THeaderWordCharset DefaultWordCharset(std::uint16_t languageId) {
  const unsigned primary = languageId & 0x3FF;
  const unsigned sublanguage = languageId >> 10;
  switch (primary) {
    case 4: return {sublanguage == 2 ? "GB2312" : "Big5", 'B'};
    case 17: return {"ISO-2022-JP", 'B'};
    case 18: return {"csEUCKR", 'B'};
    case 25: return {"KOI8-R", 'B'};
    case 34: return {"windows-1251", 'B'};
    default: return {"ISO-8859-1", 'Q'};
  }
}

std::uint16_t StartupLanguageId() {
  static const std::uint16_t languageId = platform::ThreadLanguageId();
  return languageId;
}

bool IsEscapedNameByte(unsigned char byte) {
  return (byte < 32 && byte != '\t') || byte == 127 || byte >= 128 || byte == '"' || byte == '\\' || byte == '%';
}

std::string EncodeQuotedName(std::string_view text) {
  // On POSIX the program's text is UTF-8 already, and a stray byte of it must stay
  // distinguishable: converting would turn it into "?".
  const std::string utf8 = platform::AnsiCodePage() == platform::kCodePageUtf8
                               ? std::string(text)
                               : platform::ConvertCodePage(0, platform::kCodePageUtf8, text);
  std::string out;
  out.reserve(utf8.size() + 16);
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b >= 128) {
      const std::size_t length = platform::Utf8CharLength(utf8, i);
      if (length > 1) {
        out.append(utf8, i, length);
        i += length;
        continue;
      }
    }
    bool escape = b != '%' && IsEscapedNameByte(b);
    if (b == '%' && i + 2 < utf8.size() && HexDigitValue(utf8[i + 1]) >= 0 && HexDigitValue(utf8[i + 2]) >= 0) {
      escape = IsEscapedNameByte(static_cast<unsigned char>(HexDigitValue(utf8[i + 1]) * 16 + HexDigitValue(utf8[i + 2])));
    }
    if (escape) {
      AppendPercentEscape(out, b);
    } else {
      out += static_cast<char>(b);
    }
    ++i;
  }
  return out;
}

std::string ExtendedNameValue(std::string_view quoted) {
  if (std::all_of(quoted.begin(), quoted.end(), [](char c) { return static_cast<unsigned char>(c) < 128; })) return {};
  std::string out = "UTF-8''";
  for (const char c : quoted) {
    const auto b = static_cast<unsigned char>(c);
    const bool attrChar = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                          std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos;
    if (attrChar) {
      out += c;
    } else {
      AppendPercentEscape(out, b);
    }
  }
  return out;
}

std::string EncodeHeaderWords(std::string_view text, std::string_view charset, char encoding,
                              std::string_view specials) {
  if (text.empty()) return {};
  const bool base64 = encoding == 'B' || encoding == 'b';
  if (!base64 && encoding != 'Q' && encoding != 'q') {
    throw ENetHeaderEncodeError(Format("Unknown header encoding \"%s\"", encoding));
  }
  const std::optional<int> codePage = platform::CodePageOfCharset(charset);
  std::string bytes;
  try {
    if (!codePage) throw EConvertError("unknown charset");
    bytes = platform::ConvertCodePage(0, *codePage, text);
  } catch (const EConvertError&) {
    throw ENetHeaderEncodeError(Format("Could not encode header data using charset \"%s\"", charset));
  }

  const bool equalsNeedsEncoding = ContainsEncodedWord(text);
  auto isPlain = [&](char c) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 32 || b > 126) return false;
    if (c == '=' && equalsNeedsEncoding) return false;
    return specials.find(c) == std::string_view::npos;
  };

  std::string out;
  out.reserve(bytes.size() + 32);
  EncodedRunWriter writer(out, charset, base64 ? 'B' : 'Q', specials);
  std::size_t runStart = 0;
  std::size_t runEnd = 0;
  bool inRun = false;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t spaceStart = i;
    while (i < bytes.size() && IsWordSeparator(bytes[i])) ++i;
    const std::size_t wordStart = i;
    bool plain = true;
    while (i < bytes.size() && !IsWordSeparator(bytes[i])) plain = isPlain(bytes[i++]) && plain;
    const std::string_view space(bytes.data() + spaceStart, wordStart - spaceStart);
    const std::string_view word(bytes.data() + wordStart, i - wordStart);
    if (word.empty()) {
      // White space at the end stays outside any run.
      if (inRun) writer.Write(std::string_view(bytes).substr(runStart, runEnd - runStart), base64);
      inRun = false;
      out += space;
    } else if (plain) {
      if (inRun) writer.Write(std::string_view(bytes).substr(runStart, runEnd - runStart), base64);
      inRun = false;
      out += space;
      out += word;
    } else if (inRun) {
      runEnd = i;
    } else {
      out += space;
      runStart = wordStart;
      runEnd = i;
      inRun = true;
    }
  }
  if (inRun) writer.Write(std::string_view(bytes).substr(runStart, runEnd - runStart), base64);
  return out;
}

}  // namespace qb
