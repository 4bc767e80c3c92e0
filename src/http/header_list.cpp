// Implementation details: the list keeps raw lines so that what was received can be
// handed on unchanged (cookies, meta headers, trailers); names are found by comparing
// the text before the first colon, so a continuation line never matches a name.
#include "http/header_list.h"

#include "net/net_exception.h"
#include "support/format.h"
#include "support/strings.h"

namespace qb {
namespace {

bool IsContinuation(std::string_view line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

bool NameIs(std::string_view line, std::string_view name) {
  const std::size_t colon = line.find(':');
  return colon != std::string_view::npos && SameTextAscii(line.substr(0, colon), name);
}

// A quoted-string (RFC 7230 section 3.2.6): escapes resolved, the text ends at the closing quote.
std::string Unquote(std::string_view text) {
  if (text.empty() || text[0] != '"') return std::string(text);
  std::string out;
  for (std::size_t i = 1; i < text.size() && text[i] != '"'; ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

}  // namespace

void TNetHeaderList::AddValue(std::string_view name, std::string_view value) {
  std::string line(name);
  line += ": ";
  line += value;
  lines_.push_back(std::move(line));
}

std::size_t TNetHeaderList::Find(std::string_view name, std::size_t from) const {
  for (std::size_t i = from; i < lines_.size(); ++i) {
    if (NameIs(lines_[i], name)) return i;
  }
  return lines_.size();
}

std::string TNetHeaderList::ValueAt(std::size_t index, std::size_t* next) const {
  const std::string& line = lines_[index];
  std::string value(TrimLeft(std::string_view(line).substr(line.find(':') + 1)));
  std::size_t i = index + 1;
  for (; i < lines_.size() && IsContinuation(lines_[i]); ++i) {
    value += ' ';
    value += Trim(lines_[i]);
  }
  if (next) *next = i;
  return std::string(Trim(value));
}

std::string TNetHeaderList::Value(std::string_view name) const {
  const std::size_t index = Find(name);
  return index < lines_.size() ? ValueAt(index, nullptr) : std::string();
}

bool TNetHeaderList::Contains(std::string_view name) const { return Find(name) < lines_.size(); }

std::vector<std::string> TNetHeaderList::AllValues(std::string_view name) const {
  std::vector<std::string> values;
  for (std::size_t i = Find(name); i < lines_.size(); i = Find(name, i)) values.push_back(ValueAt(i, &i));
  return values;
}

void TNetHeaderList::SetValue(std::string_view name, std::string_view value) {
  const std::size_t index = Find(name);
  if (index == lines_.size()) {
    if (!value.empty()) AddValue(name, value);
    return;
  }
  std::size_t end = index + 1;
  while (end < lines_.size() && IsContinuation(lines_[end])) ++end;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(index) + 1,
               lines_.begin() + static_cast<std::ptrdiff_t>(end));
  if (value.empty()) {
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(index));
  } else {
    lines_[index] = std::string(name) + ": " + std::string(value);
  }
}

std::string TNetHeaderList::WireText() const {
  std::string text;
  for (const std::string& line : lines_) {
    if (line.empty()) continue;
    if (line.find_first_of("\r\n") != std::string::npos) {
      const std::string_view name = std::string_view(line).substr(0, line.find(':'));
      throw ENetException(
          Format("Header line \"%s\" contains a line break", name.substr(0, name.find_first_of("\r\n"))));
    }
    text += line;
    text += "\r\n";
  }
  return text;
}

std::vector<std::string_view> SplitHeaderParameters(std::string_view value) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  bool quoted = false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (quoted && c == '\\') {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ';' && !quoted) {
      parts.push_back(value.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(value.substr(std::min(start, value.size())));
  return parts;
}

std::string_view HeaderMainValue(std::string_view value) { return Trim(SplitHeaderParameters(value).front()); }

std::string HeaderParameter(std::string_view value, std::string_view name) {
  const auto parts = SplitHeaderParameters(value);
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::size_t eq = parts[i].find('=');
    if (eq != std::string_view::npos && SameTextAscii(Trim(parts[i].substr(0, eq)), name)) {
      return Unquote(Trim(parts[i].substr(eq + 1)));
    }
  }
  return std::string();
}

std::string RemoveHeaderParameter(std::string_view value, std::string_view name) {
  const auto parts = SplitHeaderParameters(value);
  std::string out(TrimRight(parts.front()));
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::size_t eq = parts[i].find('=');
    if (eq != std::string_view::npos && SameTextAscii(Trim(parts[i].substr(0, eq)), name)) continue;
    out += ';';
    out += parts[i];
  }
  return out;
}

std::string QuotedString(std::string_view value) {
  std::string out = "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace qb
