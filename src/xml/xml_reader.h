// The XML text reader: TXmlSource turns bytes into program text as it reads, keeping the
// line and column of the current character, and XmlParse builds nodes from it straight
// into the tree. Every syntax error is an Exception whose message ends with "[line:column]".
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/stream.h"
#include "xml/xml_document.h"

namespace qb {

// The code page of an encoding name of the XML declaration (23 names, ASCII case
// ignored), or nothing for a name outside the table.
std::optional<int> XmlCodePageOfEncoding(std::string_view name);

// Elements nested deeper than this are refused, so that no input can exhaust the stack
// of the reader (or of the operations that walk the tree recursively).
inline constexpr int kXmlMaxNestingDepth = 1024;

class TXmlSource {
 public:
  static constexpr std::size_t kBlockSize = 16384;

  // The first character is read at once. The code page is 0 (bytes taken as they are)
  // until a declaration names one.
  explicit TXmlSource(TStream& stream);
  // Reads a copy of the text.
  explicit TXmlSource(std::string_view text);
  TXmlSource(const TXmlSource&) = delete;
  TXmlSource& operator=(const TXmlSource&) = delete;
  ~TXmlSource();

  // Advances; false at the end of the input, where the current character becomes 0.
  bool Next() {
    if (pos_ < count_) {
      current_ = out_[pos_++];
      ++column_;
      if (current_ == '\n') {
        ++line_;
        column_ = 0;
      }
      return true;
    }
    return NextBlock();
  }
  bool AtEnd() const noexcept { return atEnd_; }
  char Current() const noexcept { return current_; }
  std::int64_t Line() const noexcept { return line_; }
  std::int64_t Column() const noexcept { return column_; }
  int CodePage() const noexcept { return codePage_; }
  // Later refills convert from `codePage`; text not yet handed out under code page 0 is
  // converted too, since until then the source reads byte by byte.
  void SetCodePage(int codePage);

  // Raises Exception with `message` followed by " at [line:column]".
  [[noreturn]] void Error(std::string_view message) const;

  // The token buffers: one per nesting level, reused from token to token.
  std::string& PushToken();
  void PopToken() noexcept { --depth_; }

  // --- Operations of the grammar ------------------------------------------------------
  void SkipBlanks();
  void ExpectChar(char c);
  void ExpectText(std::string_view text);
  // Collects up to the terminator (consumed, not collected).
  void ReadUntil(std::string_view terminator, std::string& out);
  // "_" or a letter, then letters, digits, "-", ".", ":" and "_".
  void ReadName(std::string& out);
  // The value, or a value above U+10FFFF when the number is larger.
  std::uint32_t ReadDecimal();
  std::uint32_t ReadHexadecimal();
  // Current character is the quote.
  void ReadQuotedValue(std::string& out);
  // Current character is "&": appends the character it stands for.
  void ReadEntity(std::string& out);
  // Appends the current character and those after it up to "<" or "&" (or the end).
  void ReadTextRun(std::string& out);

  static bool IsNameStart(char c) noexcept { return kClasses.table[static_cast<unsigned char>(c)] & kNameStart; }
  static bool IsNameChar(char c) noexcept { return kClasses.table[static_cast<unsigned char>(c)] & kNameChar; }

 private:
  enum : std::uint8_t { kNameStart = 1, kNameChar = 2, kTextStop = 4, kQuoteStop = 8, kApostropheStop = 16 };
  struct CharClasses {
    CharClasses();
    std::array<std::uint8_t, 256> table{};
  };
  static const CharClasses kClasses;

  bool NextBlock();
  bool Refill();
  // Appends the current character and out_[pos_, end), keeping line and column.
  void TakeRun(std::string& out, std::size_t end);
  // Appends the current character and the following ones while their class has none of
  // the `stop` bits; leaves the source on the first stop character or at the end.
  void AppendRun(std::string& out, std::uint8_t stop, bool whileNameChar = false);

  std::unique_ptr<TStream> ownedStream_;
  TStream& stream_;
  std::string out_;      // converted text
  std::size_t pos_ = 0;  // next character in out_
  std::size_t count_ = 0;
  std::string raw_;      // bytes read from the stream
  std::string pending_;  // bytes read but not yet converted (a cut UTF-8 sequence, or
                         // what followed a declaration read under code page 0)
  bool streamEnded_ = false;
  int codePage_ = 0;
  std::int64_t line_ = 1;
  std::int64_t column_ = 0;
  char current_ = 0;
  bool atEnd_ = false;
  std::vector<std::unique_ptr<std::string>> tokens_;
  std::size_t depth_ = 0;
};

// Parses XML content into the children of `parent` until the end of the input or an end
// tag ("</", left with the current character on "/").
void XmlParse(TXmlNode& parent, TXmlSource& source, const Ref<TXmlNameTable>& nameTable, bool preserveWhiteSpace,
              const TXmlElementEvent& onElementEnd, const TXmlElementEvent& onElementStart);

}  // namespace qb
