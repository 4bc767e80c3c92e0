// Implementation details: the source converts whole blocks of 16384 bytes, even before an
// encoding is known: under code page 0 bytes are taken as they are, so handing them out
// from a block is the same as reading them one at a time, and when a declaration then
// names a code page the bytes not yet handed out go back to be converted under it. UTF-8
// input for a UTF-8 program is validated and copied rather than taken through UTF-16;
// both paths share one decoder, so their output is the same. Runs of text, names and
// attribute values are appended to the token in one piece per block, with the line and
// column updated for the whole run.
#include <cstring>

#include "platform/codepage.h"
#include "platform/locale.h"
#include "support/exception.h"
#include "support/format.h"
#include "support/strings.h"
#include "xml/xml_reader.h"

namespace qb {
namespace {

struct EncodingName {
  const char* name;
  int codePage;
};

constexpr EncodingName kEncodings[] = {
    {"UTF-8", 65001},       {"WINDOWS-1250", 1250}, {"WINDOWS-1251", 1251}, {"WINDOWS-1252", 1252},
    {"WINDOWS-1253", 1253}, {"WINDOWS-1254", 1254}, {"WINDOWS-1255", 1255}, {"WINDOWS-1256", 1256},
    {"WINDOWS-1257", 1257}, {"WINDOWS-1258", 1258}, {"ISO-8859-1", 28591},  {"ISO-8859-2", 28592},
    {"ISO-8859-3", 28593},  {"ISO-8859-4", 28594},  {"ISO-8859-5", 28595},  {"ISO-8859-6", 28596},
    {"ISO-8859-7", 28597},  {"ISO-8859-8", 28598},  {"ISO-8859-9", 28599},  {"ISO-8859-13", 28603},
    {"ISO-8859-15", 28605}, {"KOI8-R", 20866},      {"KOI8-U", 21866},
};

bool TargetIsUtf8() {
  static const bool utf8 =
      (kXmlTargetCodePage == 0 ? platform::AnsiCodePage() : kXmlTargetCodePage) == platform::kCodePageUtf8;
  return utf8;
}

// Output of the UTF-8 decoder for a UTF-8 program: valid sequences are copied.
struct Utf8Sink {
  std::string& out;
  void Run(const unsigned char* p, std::size_t n) { out.append(reinterpret_cast<const char*>(p), n); }
  void Sequence(const unsigned char* p, std::size_t n, char32_t) { Run(p, n); }
  void Bad() { out += '?'; }
};

// Output of the UTF-8 decoder for any other program code page: UTF-16, converted after.
struct WideSink {
  std::u16string& out;
  void Run(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out += static_cast<char16_t>(p[i]);
  }
  void Sequence(const unsigned char*, std::size_t, char32_t cp) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  void Bad() { out += u'?'; }
};

// Decodes UTF-8 and returns how many bytes it used: a sequence cut by the end of the
// input is left over (unless `final`). Malformed input (a stray continuation byte, a lead
// byte of 248 or more, a broken sequence, an overlong form, a surrogate or a value above
// U+10FFFF) becomes "?", and decoding resumes at the first byte not taken.
template <typename Sink>
std::size_t DecodeUtf8(const unsigned char* in, std::size_t n, bool final, Sink& sink) {
  std::size_t i = 0;
  while (i < n) {
    const unsigned b0 = in[i];
    if (b0 < 0x80) {
      std::size_t j = i + 1;
      while (j < n && in[j] < 0x80) ++j;
      sink.Run(in + i, j - i);
      i = j;
      continue;
    }
    std::size_t extra = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if ((b0 & 0xE0) == 0xC0) {
      extra = 1, cp = b0 & 0x1F, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      extra = 2, cp = b0 & 0x0F, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      extra = 3, cp = b0 & 0x07, minimum = 0x10000;
    } else {
      sink.Bad();
      ++i;
      continue;
    }
    std::size_t k = 1;
    for (; k <= extra && i + k < n; ++k) {
      const unsigned b = in[i + k];
      if ((b & 0xC0) != 0x80) break;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (k <= extra) {
      if (i + k == n && !final) break;  // carried to the next block
      sink.Bad();
      i += k;
      continue;
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      sink.Bad();
    } else {
      sink.Sequence(in + i, extra + 1, cp);
    }
    i += extra + 1;
  }
  return i;
}

// A character reference as program text: references below 128 are that byte; others
// are the character in the program code page, or "?" when it has none or the number is
// not a character.
void AppendCodePoint(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
    return;
  }
  const bool valid = cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF) && cp != 0xFFFE && cp != 0xFFFF;
  if (!valid) {
    out += '?';
  } else if (TargetIsUtf8()) {
    out += *platform::CodePointToUtf8(cp);
  } else {
    std::u16string wide;
    WideSink sink{wide};
    sink.Sequence(nullptr, 0, cp);
    out += platform::WideToMultiByte(kXmlTargetCodePage, wide);
  }
}

}  // namespace

std::optional<int> XmlCodePageOfEncoding(std::string_view name) {
  for (const auto& entry : kEncodings) {
    if (SameTextAscii(name, entry.name)) return entry.codePage;
  }
  return std::nullopt;
}

const TXmlSource::CharClasses TXmlSource::kClasses;

TXmlSource::CharClasses::CharClasses() {
  for (int c = 0; c < 256; ++c) {
    const auto b = static_cast<unsigned char>(c);
    std::uint8_t bits = 0;
    if (b == '_' || platform::IsCharAlpha(b)) bits |= kNameStart;
    if (platform::IsCharAlphaNumeric(b) || b == '-' || b == '.' || b == ':' || b == '_') bits |= kNameChar;
    if (b == '<' || b == '&') bits |= kTextStop | kQuoteStop | kApostropheStop;
    if (b == '"') bits |= kQuoteStop;
    if (b == '\'') bits |= kApostropheStop;
    table[b] = bits;
  }
}

TXmlSource::TXmlSource(TStream& stream) : stream_(stream) { Next(); }

TXmlSource::TXmlSource(std::string_view text)
    : ownedStream_(std::make_unique<TMemoryStream>(text)), stream_(*ownedStream_) {
  Next();
}

TXmlSource::~TXmlSource() = default;

void TXmlSource::Error(std::string_view message) const {
  throw Exception(Format("%s at [%d:%d]", message, line_, column_));
}

std::string& TXmlSource::PushToken() {
  if (depth_ == tokens_.size()) {
    tokens_.push_back(std::make_unique<std::string>());
    tokens_.back()->reserve(32);
  }
  std::string& token = *tokens_[depth_++];
  token.clear();
  return token;
}

bool TXmlSource::NextBlock() {
  if (!atEnd_ && Refill()) return Next();
  atEnd_ = true;
  current_ = 0;
  return false;
}

bool TXmlSource::Refill() {
  pos_ = 0;
  count_ = 0;
  while (count_ == 0) {
    raw_.assign(pending_);
    pending_.clear();
    if (!streamEnded_) {
      const std::size_t have = raw_.size();
      raw_.resize(have + kBlockSize);
      const std::size_t n = stream_.Read(raw_.data() + have, kBlockSize);
      raw_.resize(have + n);
      streamEnded_ = n == 0;
    }
    if (raw_.empty()) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(raw_.data());
    if (codePage_ == 0) {
      out_.swap(raw_);
    } else if (codePage_ == platform::kCodePageUtf8) {
      std::size_t used = 0;
      out_.clear();
      if (TargetIsUtf8()) {
        Utf8Sink sink{out_};
        used = DecodeUtf8(bytes, raw_.size(), streamEnded_, sink);
      } else {
        std::u16string wide;
        WideSink sink{wide};
        used = DecodeUtf8(bytes, raw_.size(), streamEnded_, sink);
        out_ = platform::WideToMultiByte(kXmlTargetCodePage, wide);
      }
      pending_.assign(raw_, used, std::string::npos);
    } else {
      out_ = platform::ConvertCodePage(codePage_, kXmlTargetCodePage, raw_);
    }
    count_ = out_.size();
  }
  return true;
}

void TXmlSource::SetCodePage(int codePage) {
  if (codePage_ == 0 && pos_ < count_) {
    // Handed out so far one byte at a time: the rest is read again under the new page.
    pending_.insert(0, out_, pos_, count_ - pos_);
    count_ = pos_;
  }
  codePage_ = codePage;
}

void TXmlSource::TakeRun(std::string& out, std::size_t end) {
  // The current character out_[pos_ - 1] and out_[pos_, end) each become current in turn.
  const char* b = out_.data();
  out.append(b + pos_ - 1, end - pos_ + 1);
  const char* lastLineFeed = nullptr;
  for (const char* p = b + pos_; p != b + end; ++p) {
    if (*p == '\n') {
      ++line_;
      lastLineFeed = p;
    }
  }
  column_ = lastLineFeed ? static_cast<std::int64_t>(b + end - 1 - lastLineFeed)
                         : column_ + static_cast<std::int64_t>(end - pos_);
  pos_ = end;
}

void TXmlSource::AppendRun(std::string& out, std::uint8_t stop, bool whileNameChar) {
  const std::uint8_t* table = kClasses.table.data();
  const auto stops = [&](unsigned char c) { return whileNameChar ? !(table[c] & kNameChar) : (table[c] & stop) != 0; };
  while (!atEnd_) {
    std::size_t i = pos_;
    while (i < count_ && !stops(static_cast<unsigned char>(out_[i]))) ++i;
    TakeRun(out, i);
    if (!Next() || stops(static_cast<unsigned char>(current_))) return;
  }
}

void TXmlSource::SkipBlanks() {
  while (!atEnd_ && IsTrimmedByte(current_)) Next();
}

void TXmlSource::ExpectChar(char c) {
  if (atEnd_ || current_ != c) Error(Format("Character \"%s\" expected", std::string(1, c)));
  Next();
}

void TXmlSource::ExpectText(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (atEnd_ || current_ != text[i]) Error(Format("Text \"%s\" expected", text.substr(i)));
    Next();
  }
}

void TXmlSource::ReadUntil(std::string_view terminator, std::string& out) {
  std::size_t matched = 0;
  while (!atEnd_) {
    if (matched == 0 && current_ != terminator[0]) {
      // Fast path: everything up to the terminator's first character.
      std::size_t i = pos_;
      while (i < count_ && out_[i] != terminator[0]) ++i;
      TakeRun(out, i);
      Next();
      continue;
    }
    const char c = current_;
    if (c == terminator[matched]) {
      ++matched;
      Next();
      if (matched == terminator.size()) return;
      continue;
    }
    // The partial match broke: keep its longest tail that can still begin the terminator.
    std::string candidate(terminator.substr(0, matched));
    candidate += c;
    std::size_t keep = matched;
    while (keep > 0 && candidate.compare(candidate.size() - keep, keep, terminator.substr(0, keep)) != 0) --keep;
    out.append(candidate, 0, candidate.size() - keep);
    matched = keep;
    Next();
  }
  Error(Format("\"%s\" expected", terminator));
}

void TXmlSource::ReadName(std::string& out) {
  if (atEnd_ || !IsNameStart(current_)) Error("Name must start with letter or \"_\"");
  AppendRun(out, 0, true);
}

std::uint32_t TXmlSource::ReadDecimal() {
  if (atEnd_ || current_ < '0' || current_ > '9') Error("Number expected");
  std::uint32_t value = 0;
  while (!atEnd_ && current_ >= '0' && current_ <= '9') {
    if (value <= 0x10FFFF) value = value * 10 + static_cast<std::uint32_t>(current_ - '0');
    Next();
  }
  return value;
}

std::uint32_t TXmlSource::ReadHexadecimal() {
  if (atEnd_ || HexDigitValue(current_) < 0) Error("Hexadecimal number expected");
  std::uint32_t value = 0;
  while (!atEnd_ && HexDigitValue(current_) >= 0) {
    if (value <= 0x10FFFF) value = value * 16 + static_cast<std::uint32_t>(HexDigitValue(current_));
    Next();
  }
  return value;
}

void TXmlSource::ReadQuotedValue(std::string& out) {
  const char quote = current_;
  const std::uint8_t stop = quote == '"' ? kQuoteStop : kApostropheStop;
  Next();
  while (!atEnd_ && current_ != quote) {
    if (current_ == '&') {
      ReadEntity(out);
    } else if (current_ == '<') {
      Error("Character \"<\" cannot be used in the values of attributes");
    } else {
      AppendRun(out, stop);
    }
  }
  if (atEnd_) Error(Format("\"%s\" expected", std::string(1, quote)));
  Next();
}

void TXmlSource::ReadTextRun(std::string& out) {
  while (!atEnd_ && current_ != '<') {
    if (current_ == '&') {
      ReadEntity(out);
    } else {
      AppendRun(out, kTextStop);
    }
  }
}

void TXmlSource::ReadEntity(std::string& out) {
  if (!Next()) Error("\"#\" or XML entity symbol name expected");
  if (current_ == '#') {
    if (!Next()) Error("Number expected");
    std::uint32_t value = 0;
    if (current_ == 'x') {
      Next();
      value = ReadHexadecimal();
    } else {
      value = ReadDecimal();
    }
    ExpectChar(';');
    AppendCodePoint(out, value);
    return;
  }
  std::string& name = PushToken();
  ReadName(name);
  ExpectChar(';');
  if (name == "amp") {
    out += '&';
  } else if (name == "quot") {
    out += '"';
  } else if (name == "lt") {
    out += '<';
  } else if (name == "gt") {
    out += '>';
  } else if (name == "apos") {
    out += '\'';
  } else {
    const std::string unknown = name;
    PopToken();
    Error(Format("Unknown XML entity symbol name \"%s\" found", unknown));
  }
  PopToken();
}

}  // namespace qb
