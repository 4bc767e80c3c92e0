#include "driver/command_switch.h"

#include "platform/process.h"
#include "support/strings.h"

namespace qb {

std::string ReadCommandSwitch(const std::vector<std::string>& parameters, std::string_view name,
                              std::string_view separator, std::string_view prefixes) {
  const std::string wanted = UpperCaseAscii(Trim(name));
  for (std::size_t i = 1; i < parameters.size(); ++i) {
    const std::string_view parameter = parameters[i];
    // Only one prefix character is dropped: --configFile names "-configFile".
    std::string_view switchName = parameter;
    if (!switchName.empty() && prefixes.find(switchName[0]) != std::string_view::npos) switchName.remove_prefix(1);
    const std::size_t at = separator.empty() ? std::string_view::npos : switchName.find(separator);
    if (at != std::string_view::npos) switchName = switchName.substr(0, at);
    if (UpperCaseAscii(Trim(switchName)) != wanted) continue;
    // The value comes from the whole parameter, prefix included.
    const std::size_t valueAt = separator.empty() ? std::string_view::npos : parameter.find(separator);
    const std::string_view value =
        valueAt == std::string_view::npos ? parameter : parameter.substr(valueAt + separator.size());
    return std::string(Trim(value));
  }
  return {};
}

std::string ReadCommandSwitch(std::string_view name, std::string_view separator, std::string_view prefixes) {
  return ReadCommandSwitch(platform::CommandLineParameters(), name, separator, prefixes);
}

}  // namespace qb
