// Implementation details: code pages other than UTF-8 and UTF-16 are converted with
// iconv. A conversion descriptor is opened per call: conversions happen at the edges
// (a 16 KiB block of an XML file, a header word, a response body), not per character.
// iconv stops at a character it cannot convert; we write "?" (or U+FFFD) and go on.
#include "platform/codepage.h"

#include <errno.h>
#include <iconv.h>

#include <cstring>

#include <string>

#include "support/exception.h"
#include "support/format.h"

namespace qb::platform {
namespace {

// The iconv name of a code page.
const char* IconvName(int codePage) {
  switch (codePage) {
    case 65001: return "UTF-8";
    case 1200: return "UTF-16LE";
    case 1201: return "UTF-16BE";
    case 20127: return "ASCII";
    case 1250: return "CP1250";
    case 1251: return "CP1251";
    case 1252: return "CP1252";
    case 1253: return "CP1253";
    case 1254: return "CP1254";
    case 1255: return "CP1255";
    case 1256: return "CP1256";
    case 1257: return "CP1257";
    case 1258: return "CP1258";
    case 28591: return "ISO-8859-1";
    case 28592: return "ISO-8859-2";
    case 28593: return "ISO-8859-3";
    case 28594: return "ISO-8859-4";
    case 28595: return "ISO-8859-5";
    case 28596: return "ISO-8859-6";
    case 28597: return "ISO-8859-7";
    case 28598: return "ISO-8859-8";
    case 28599: return "ISO-8859-9";
    case 28603: return "ISO-8859-13";
    case 28605: return "ISO-8859-15";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 936: return "GBK";
    case 950: return "BIG5";
    case 50220: return "ISO-2022-JP";
    case 51949: return "EUC-KR";
    case 51932: return "EUC-JP";
    case 932: return "SHIFT_JIS";
    case 866: return "CP866";
    default: return nullptr;
  }
}

int Resolve(int codePage) { return codePage == 0 ? AnsiCodePage() : codePage; }

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) ::iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of `in`; at an input unit that cannot be converted or is malformed,
  // writes `replacement` and skips `skip` bytes of input (2 for UTF-16LE input).
  std::string Run(std::string_view in, std::string_view replacement, std::size_t skip) {
    std::string out;
    out.resize(in.size() * 2 + 16);
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    std::size_t used = 0;
    for (;;) {
      char* dst = out.data() + used;
      std::size_t dstLeft = out.size() - used;
      const std::size_t r = ::iconv(cd_, srcLeft ? &src : nullptr, &srcLeft, &dst, &dstLeft);
      used = out.size() - dstLeft;
      if (r != static_cast<std::size_t>(-1)) {
        if (srcLeft == 0) break;
        continue;
      }
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      // EILSEQ or EINVAL (a sequence cut by the end of the input): replace and go on.
      if (used + replacement.size() > out.size()) out.resize(out.size() * 2 + replacement.size());
      std::memcpy(out.data() + used, replacement.data(), replacement.size());
      used += replacement.size();
      std::size_t step = std::min(skip, srcLeft);
      // A UTF-16 surrogate pair is one character: it becomes one replacement.
      if (skip == 2 && srcLeft >= 4 && (static_cast<unsigned char>(src[1]) & 0xFC) == 0xD8) step = 4;
      src += step;
      srcLeft -= step;
      if (srcLeft == 0) break;
    }
    // A stateful target (ISO-2022-JP) must return to its initial shift state at the end,
    // or the text would end inside a double-byte run.
    for (;;) {
      char* dst = out.data() + used;
      std::size_t dstLeft = out.size() - used;
      const std::size_t r = ::iconv(cd_, nullptr, nullptr, &dst, &dstLeft);
      used = out.size() - dstLeft;
      if (r != static_cast<std::size_t>(-1) || errno != E2BIG) break;
      out.resize(out.size() * 2 + 16);
    }
    out.resize(used);
    return out;
  }

 private:
  iconv_t cd_;
};

[[noreturn]] void ThrowUnsupported(int codePage) {
  throw EConvertError(Format("No mapping for the code page %d", codePage));
}

}  // namespace

int AnsiCodePage() { return kCodePageUtf8; }

std::size_t CharLength(std::string_view text, std::size_t index) { return Utf8CharLength(text, index); }

bool IsCodePageSupported(int codePage) {
  codePage = Resolve(codePage);
  if (codePage == kCodePageUtf8 || codePage == kCodePageUtf16LE) return true;
  const char* name = IconvName(codePage);
  if (!name) return false;
  Iconv probe("UTF-16LE", name);
  return probe.ok();
}

std::u16string MultiByteToWide(int codePage, std::string_view bytes) {
  codePage = Resolve(codePage);
  if (codePage == kCodePageUtf8) return Utf8ToUtf16(bytes);
  const char* name = IconvName(codePage);
  if (!name) ThrowUnsupported(codePage);
  Iconv cd("UTF-16LE", name);
  if (!cd.ok()) ThrowUnsupported(codePage);
  const std::string utf16 = cd.Run(bytes, std::string_view("\xFD\xFF", 2), 1);
  std::u16string out(utf16.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(utf16[2 * i]) |
                                   (static_cast<unsigned char>(utf16[2 * i + 1]) << 8));
  }
  return out;
}

std::string WideToMultiByte(int codePage, std::u16string_view text) {
  codePage = Resolve(codePage);
  if (codePage == kCodePageUtf8) return Utf16ToUtf8(text);
  const char* name = IconvName(codePage);
  if (!name) ThrowUnsupported(codePage);
  Iconv cd(name, "UTF-16LE");
  if (!cd.ok()) ThrowUnsupported(codePage);
  std::string utf16(text.size() * 2, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    utf16[2 * i] = static_cast<char>(text[i] & 0xFF);
    utf16[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  return cd.Run(utf16, "?", 2);
}

}  // namespace qb::platform
