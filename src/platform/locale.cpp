// Implementation details: the language rule over POSIX locale names is plain text work, so
// it is shared; ThreadLanguageId of each platform decides where the name comes from.
#include "platform/locale.h"

#include "support/strings.h"

namespace qb::platform {

std::uint16_t LanguageIdOfLocaleName(std::string_view name) {
  constexpr std::uint16_t kEnglish = 9;
  const std::size_t end = name.find_first_of("_.@");
  const std::string language = LowerCaseAscii(name.substr(0, end));
  std::string territory;
  if (end != std::string_view::npos && name[end] == '_') {
    const std::string_view rest = name.substr(end + 1);
    territory = UpperCaseAscii(rest.substr(0, rest.find_first_of(".@")));
  }
  if (language == "zh") return static_cast<std::uint16_t>(4 | ((territory == "CN" || territory == "SG" ? 2 : 1) << 10));
  if (language == "ja") return 17 | (1 << 10);
  if (language == "ko") return 18 | (1 << 10);
  if (language == "ru") return 25 | (1 << 10);
  if (language == "uk") return 34 | (1 << 10);
  if (language == "en") return kEnglish | (1 << 10);
  return kEnglish;  // "C", "POSIX" and everything else count as English
}

}  // namespace qb::platform
