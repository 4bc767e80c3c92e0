// Implementation details: the parser works on views into the URL held by the object and
// cuts the parts off from the right (parameters and bookmark, then the authority, then
// the path), so every part is a plain substring of what was given. The only rewrite is the
// backslash rule, applied once before parsing.
#include "http/uri.h"

#include <algorithm>
#include <vector>

#include "platform/codepage.h"
#include "support/strings.h"

namespace qb {
namespace {

constexpr auto npos = std::string_view::npos;

// Every "\" after the protocol separator (the first ":" and a "//" right after it; the
// start of the text when there is no ":") becomes "/", up to the first "?" or "#" of the
// URL: parameters and bookmark keep their backslashes. In UTF-8, the program's code
// page, no byte of a multi-byte character can be a "\", so a byte scan is safe.
std::string ApplyBackslashRule(std::string_view uri) {
  std::string result(uri);
  std::size_t start = 0;
  if (const std::size_t colon = result.find(':'); colon != npos) {
    start = colon + 1;
    if (result.compare(start, 2, "//") == 0) start += 2;
  }
  std::size_t end = result.find_first_of("?#");
  if (end == npos) end = result.size();
  for (std::size_t i = start; i < end; ++i) {
    if (result[i] == '\\') result[i] = '/';
  }
  return result;
}

// Cuts "?parameters" and "#bookmark" off `rest`. Whichever of "?" and "#" comes first
// decides: a "#" before any "?" starts the bookmark, which then keeps the "?".
void SplitParamsAndBookmark(std::string_view& rest, std::string& params, std::string& bookmark) {
  const std::size_t mark = rest.find_first_of("?#");
  if (mark == npos) return;
  std::string_view tail = rest.substr(mark + 1);
  if (rest[mark] == '?') {
    if (const std::size_t hash = tail.find('#'); hash != npos) {
      bookmark = tail.substr(hash + 1);
      tail = tail.substr(0, hash);
    }
    params = tail;
  } else {
    bookmark = tail;
  }
  rest = rest.substr(0, mark);
}

// The port text that Compose leaves out: protocol compared ignoring case, port exactly.
bool IsDefaultPort(std::string_view protocol, std::string_view port) {
  return (SameTextAscii(protocol, "HTTP") && port == "80") || (SameTextAscii(protocol, "HTTPS") && port == "443") ||
         (SameTextAscii(protocol, "FTP") && port == "21");
}

}  // namespace

TNetURI::TNetURI(std::string_view uri) {
  if (!uri.empty()) Parse(uri);
}

void TNetURI::Parse(std::string_view uri) {
  std::string text = ApplyBackslashRule(uri);  // before the reset: `uri` may view uri_
  *this = TNetURI();
  uri_ = std::move(text);

  std::string_view rest = uri_;
  if (const std::size_t separator = rest.find("://"); separator != npos) {
    protocol_ = rest.substr(0, separator);
    rest = rest.substr(separator + 3);
    SplitParamsAndBookmark(rest, params_, bookmark_);

    const std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    rest = slash == npos ? std::string_view() : rest.substr(slash + 1);

    if (const std::size_t at = authority.rfind('@'); at != npos) {
      const std::string_view userInfo = authority.substr(0, at);
      authority = authority.substr(at + 1);
      const std::size_t colon = userInfo.find(':');
      username_ = userInfo.substr(0, colon);
      if (colon != npos && !username_.empty()) password_ = userInfo.substr(colon + 1);
    }

    const std::size_t open = authority.find('[');
    const std::size_t close = open == npos ? npos : authority.find(']', open + 1);
    std::size_t portColon;
    if (close != npos) {
      host_ = authority.substr(open + 1, close - open - 1);
      ipVersion_ = Net_IPv6;
      portColon = authority.find(':', close + 1);
    } else {
      portColon = authority.find(':');
      host_ = authority.substr(0, portColon);
    }
    if (portColon != npos) port_ = authority.substr(portColon + 1);

    if (const std::size_t last = rest.rfind('/'); last != npos) {
      path_ = "/";
      path_ += rest.substr(0, last + 1);
      rest = rest.substr(last + 1);
    } else {
      path_ = "/";
    }
  } else {
    SplitParamsAndBookmark(rest, params_, bookmark_);
    if (const std::size_t last = rest.rfind('/'); last != npos) {
      path_ = rest.substr(0, last + 1);
      rest = rest.substr(last + 1);
    }
  }
  document_ = rest;
}

std::string TNetURI::PathAndParams() const {
  std::string result = path_ + document_;
  if (!params_.empty()) {
    result += '?';
    result += params_;
  }
  return result;
}

std::string TNetURI::WirePathAndParams() const {
  std::string text = PathAndParams();
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return text;
  }
  const int codePage = platform::AnsiCodePage();
  const std::string utf8 =
      codePage == platform::kCodePageUtf8 ? text : platform::ConvertCodePage(codePage, platform::kCodePageUtf8, text);
  std::string result;
  result.reserve(utf8.size() * 3);
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      result += c;
    } else {
      AppendPercentEscape(result, byte);
    }
  }
  return result;
}

std::string TNetURI::Compose(bool withUserInfo, bool withBookmark) const {
  if (protocol_.empty()) throw ENetURIException("Protocol field is empty");
  if (host_.empty()) throw ENetURIException("Host field is empty");
  std::string result = protocol_ + "://";
  if (withUserInfo && !username_.empty()) {
    result += username_;
    if (!password_.empty()) result += ':' + password_;
    result += '@';
  }
  if (ipVersion_ == Net_IPv6) {
    result += '[' + host_ + ']';
  } else {
    result += host_;
  }
  if (!port_.empty() && !IsDefaultPort(protocol_, port_)) result += ':' + port_;
  result += PathAndParams();
  if (withBookmark && !bookmark_.empty()) result += '#' + bookmark_;
  return result;
}

std::string MaskUrlPassword(std::string_view url) {
  // Backslashes become "/" one for one, so positions in the parsed text are positions in `url`.
  const std::string text = ApplyBackslashRule(url);
  std::size_t start = 0;
  if (const std::size_t separator = text.find("://"); separator != npos) {
    start = separator + 3;
  } else if (const std::size_t colon = text.find(':'); colon != npos && text.compare(colon + 1, 1, "/") == 0) {
    start = text.find_first_not_of('/', colon + 1);  // "http:/u:pw@host": no authority for the parser
    if (start == npos) return std::string(url);
  } else if (text.starts_with("//")) {
    start = 2;  // "//u:pw@host/x": an authority without a scheme
  }
  const std::size_t authorityEnd = std::min(text.find_first_of("/?#", start), text.size());
  std::size_t at = std::string_view(text).substr(start, authorityEnd - start).rfind('@');
  if (at != npos) {
    at += start;
  } else {
    // "u:pa/ss?x@host", "u:pa#ss@host": the password's "/", "?" or "#" ended the authority.
    at = text.rfind('@');
    if (at == npos || at < authorityEnd) return std::string(url);
  }
  // An IPv6 literal before the "@" is no user information, and its colons are no separator.
  const std::size_t from = text[start] == '[' ? std::min(text.find(']', start), at) : start;
  const std::size_t colon = text.find(':', from);
  if (colon >= authorityEnd || colon + 1 >= at) return std::string(url);
  std::string masked(url.substr(0, colon + 1));
  masked += "***";
  masked += url.substr(at);
  return masked;
}

std::string TNetURI::MergePaths(std::string_view basePath, std::string_view path) {
  // An absolute path is the URL's own and goes out exactly as written.
  if (!path.empty() && path.front() == '/') return std::string(path);
  std::string joined(basePath);
  joined += '/';
  joined += path;

  std::vector<std::string_view> segments;
  std::string_view remaining = joined;
  while (!remaining.empty()) {
    const std::size_t slash = remaining.find('/');
    const std::string_view segment = remaining.substr(0, slash);
    remaining = slash == npos ? std::string_view() : remaining.substr(slash + 1);
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();  // never above the root
      continue;
    }
    segments.push_back(segment);
  }
  std::string result = "/";
  for (const std::string_view segment : segments) {
    result += segment;
    result += '/';
  }
  return result;
}

}  // namespace qb
