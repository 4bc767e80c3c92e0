// TNetHeaderList: the ordered header lines of a request or a response, each the name,
// ": " and the value. Lookups compare names ignoring case and unfold continuation lines
// (RFC 7230 section 3.2.4 obs-fold); lines are stored and written exactly as given and are
// never folded on output.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

class TNetHeaderList {
 public:
  std::size_t Count() const { return lines_.size(); }
  bool Empty() const { return lines_.empty(); }
  const std::string& operator[](std::size_t index) const { return lines_[index]; }
  const std::vector<std::string>& Lines() const { return lines_; }

  // Appends a raw line as received or given (a continuation line too).
  void Add(std::string line) { lines_.push_back(std::move(line)); }
  // Appends "name: value" even when the name is present (Set-Cookie, WWW-Authenticate).
  void AddValue(std::string_view name, std::string_view value);
  void Clear() { lines_.clear(); }

  // The value of the first line of `name`, with its continuation lines joined by one
  // blank each, trimmed; empty when the name is absent.
  std::string Value(std::string_view name) const;
  bool Contains(std::string_view name) const;
  // The values of every line of `name`, in order, each unfolded as Value does.
  std::vector<std::string> AllValues(std::string_view name) const;

  // Replaces the first line of `name` (with its continuation lines) or appends one;
  // an empty value removes that line instead.
  void SetValue(std::string_view name, std::string_view value);

  // The lines as written on the wire: every non-empty line followed by CR LF. A line
  // that holds a CR or LF of its own would split into a header of someone else's
  // making, so it raises ENetException instead of being sent.
  std::string WireText() const;

 private:
  // Index of the first line of `name`, or Count() when absent.
  std::size_t Find(std::string_view name, std::size_t from = 0) const;
  // The unfolded value of the line at `index`; `next` receives the index after its
  // continuation lines.
  std::string ValueAt(std::size_t index, std::size_t* next) const;

  std::vector<std::string> lines_;
};

// The parts of a structured header value such as
// `multipart/form-data; boundary="x"; charset=UTF-8`.
// `value` split at each ";" outside double quotes (where a backslash escapes the next
// character): the main value, then every parameter as written.
std::vector<std::string_view> SplitHeaderParameters(std::string_view value);
// The text before the first ";", trimmed.
std::string_view HeaderMainValue(std::string_view value);
// The value of parameter `name` (ignoring case), without its quotes and with backslash
// escapes resolved; empty when absent.
std::string HeaderParameter(std::string_view value, std::string_view name);
// `value` without any parameter `name`, the other parameters kept as written.
std::string RemoveHeaderParameter(std::string_view value, std::string_view name);
// `value` as a quoted-string: in double quotes, with quotes and backslashes escaped
// (RFC 7230 section 3.2.6).
std::string QuotedString(std::string_view value);

}  // namespace qb
