// Charsets of HTTP text: the charset-to-encoding rule that decodes response bodies and
// encodes Basic credentials, and the charset found inside HTML and XML bodies.
//
// The rule: a non-empty charset name selects the code page it denotes; an empty name,
// or one that denotes no code page the platform converts, selects the 8-bit encoding,
// which maps each character of code 0 to 255 to the byte of the same value. Program
// text is in the ANSI code page (UTF-8 on POSIX).
#pragma once

#include <string>
#include <string_view>

namespace qb {

class TNetHeaderList;

// Response body bytes in `charset` to program text. Under the 8-bit encoding each byte
// becomes the character of the same code (on POSIX: Latin-1 to UTF-8).
std::string DecodeCharsetText(std::string_view bytes, std::string_view charset);

// Program text to bytes in `charset`. Under the 8-bit encoding characters of code 0 to
// 255 become those bytes; text holding any character beyond 255 cannot be written in
// one byte per character and is sent as the program text itself (UTF-8 on POSIX) rather
// than losing those characters. In a named charset an unmappable character becomes "?".
std::string EncodeCharsetText(std::string_view text, std::string_view charset);

// The charset of a media type sent without a charset parameter: "us-ascii" for XML text
// (text/xml, text/xml-external-parsed-entity, text/...+xml), "ISO-8859-1" for other
// text (RFC 2046 section 4.1.2, RFC 7303 section 3.2), empty for other types.
std::string DefaultCharsetOfMediaType(std::string_view mediaType);

// The media types whose bodies name their own charset.
bool IsHtmlMediaType(std::string_view mediaType);  // text/html, text/html-sandboxed, application/xhtml+xml
bool IsXmlMediaType(std::string_view mediaType);   // application/xml..., non-text "+xml"

// The charset at the start of an XML body: its byte order mark, else the encoding of
// its XML declaration, else "UTF-8".
std::string DetectXmlCharset(std::string_view body);

// Scans the head of an HTML body for meta elements: every http-equiv/content pair is
// appended to `headers` as a header line; returns the charset that a meta charset
// attribute or an http-equiv Content-Type names (the last one found), or empty.
std::string ParseMetaHttpEquiv(std::string_view html, TNetHeaderList& headers);

}  // namespace qb
