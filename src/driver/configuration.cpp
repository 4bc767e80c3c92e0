// Implementation details: the values are read in a fixed order, so that the ledger's
// folder exists before UploadServer is looked up, and every value is checked before the
// first file is sent. Folder values get the platform's path
// delimiter appended unless they already end with it.
#include <algorithm>
#include <initializer_list>
#include <utility>

#include "driver/file_utils.h"
#include "driver/qvor_main.h"
#include "http/uri.h"
#include "platform/files.h"
#include "support/exception.h"
#include "support/format.h"
#include "support/strings.h"

namespace qb {
namespace {

Ref<TXmlElement> RootOf(const TXmlDocument& document, const std::string& fileName) {
  Ref<TXmlElement> root = document.GetDocumentElement();
  if (!root) {
    throw Exception(Format("Error: Configuration file \"%s\" has no root element", platform::ExpandFileName(fileName)));
  }
  return root;
}

std::string ValueText(const TXmlNode& node, std::string_view name) { return XmlTextOfValue(node.GetValue(name)); }

// An empty value is an absent one, as for every other value.
bool BooleanValue(const TXmlNode& node, const char* name, bool absent = false) {
  const std::string text = ValueText(node, name);
  if (text.empty()) return absent;
  if (SameTextAscii(text, "false")) return false;
  if (SameTextAscii(text, "true")) return true;
  throw Exception(Format("Error: \"%s\" must be true or false, not \"%s\"", name, text));
}

// Seconds with up to three decimals ("30", "2.5"), as milliseconds that fit the transport.
int MillisecondsValue(const TXmlNode& node, const char* name) {
  constexpr std::int64_t kMaximum = 2147483647;
  const std::string text = ValueText(node, name);
  if (text.empty()) return 0;
  std::int64_t whole = 0;
  std::int64_t fraction = 0;
  int decimals = -1;  // -1: no point yet
  bool valid = true;
  for (const char c : text) {
    if (c == '.' && decimals < 0) {
      decimals = 0;
    } else if (c >= '0' && c <= '9' && decimals < 3) {
      if (decimals < 0) {
        whole = whole * 10 + (c - '0');
      } else {
        fraction = fraction * 10 + (c - '0');
        ++decimals;
      }
      valid = whole <= kMaximum / 1000;
      if (!valid) break;
    } else {
      valid = false;
      break;
    }
  }
  valid = valid && text.front() != '.' && decimals != 0;
  for (int d = std::max(decimals, 0); d < 3; ++d) fraction *= 10;
  const std::int64_t total = whole * 1000 + fraction;
  if (!valid || total > kMaximum) {
    throw Exception(Format("Error: \"%s\" must be a number of seconds from 0 to 2147483.647, not \"%s\"", name, text));
  }
  return static_cast<int>(total);
}

// How many uploads may run at once, each on a connection of its own: 1 to 64 in decimal
// digits; 1 when absent.
int ConnectionsValue(const TXmlNode& node, const char* name) {
  const std::string text = ValueText(node, name);
  if (text.empty()) return 1;
  const bool digits =
      text.size() <= 9 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  const std::int32_t value = digits ? TryStrToInt(text).value_or(0) : 0;
  if (value < 1 || value > kMaximumConnections) {
    throw Exception(
        Format("Error: \"%s\" must be a whole number from 1 to %d, not \"%s\"", name, kMaximumConnections, text));
  }
  return value;
}

// A proxy's host: no blank or control character, nothing that belongs to another part
// of a URL, and a ":" only inside the brackets of an IPv6 address.
bool IsProxyHost(std::string_view host, bool ipv6) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [ipv6](char c) {
    return !IsTrimmedByte(c) && !IsControlByte(c) && std::string_view("/?#@[]\\").find(c) == std::string_view::npos &&
           (ipv6 || c != ':');
  });
}

// A port: 1 to 65535 in decimal digits; 0 when the text is none.
std::uint16_t ProxyPortNumber(std::string_view text) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return 0;
  const std::int32_t value = TryStrToInt(text).value_or(0);
  return value <= 65535 ? static_cast<std::uint16_t>(value) : 0;
}

// "http://host:port" or "host:port", an IPv6 host in brackets, a "/" after it allowed.
// The port is required: proxies have no common one (3128, 8080 and 1080 are all usual),
// and a guessed one would fail later and less clearly. User information is refused,
// since ProxyUsername and ProxyPassword hold the credentials; the message masks a
// password written there.
void ReadProxy(const TXmlNode& uploadServer, TQvorServerOptions& options) {
  const std::string text = ValueText(uploadServer, "Proxy");
  if (text.empty()) return;
  std::string_view rest = text;
  if (const std::size_t scheme = rest.find("://"); scheme != std::string_view::npos) {
    rest = SameTextAscii(rest.substr(0, scheme), "http") ? rest.substr(scheme + 3) : std::string_view();
  }
  if (rest.ends_with('/')) rest.remove_suffix(1);
  const bool ipv6 = rest.starts_with('[');
  std::string_view host;
  std::string_view port;
  if (ipv6) {
    const std::size_t close = rest.find(']');
    if (close != std::string_view::npos && rest.substr(close + 1).starts_with(':')) {
      host = rest.substr(1, close - 1);
      port = rest.substr(close + 2);
    }
  } else if (const std::size_t colon = rest.rfind(':'); colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  options.ProxyPort = ProxyPortNumber(port);
  if (!IsProxyHost(host, ipv6) || options.ProxyPort == 0) {
    throw Exception(Format("Error: \"Proxy\" must be http://host:port, not \"%s\"", MaskUrlPassword(text)));
  }
  options.ProxyHost = host;
}

TQvorServerOptions ReadServerOptions(const TXmlNode& uploadServer, const std::string& uploadAt) {
  TQvorServerOptions options;
  options.VerifyCertificate = BooleanValue(uploadServer, "VerifyCertificate");
  options.CertificateFile = ValueText(uploadServer, "CertificateFile");
  options.ConnectTimeout = MillisecondsValue(uploadServer, "ConnectTimeout");
  options.ReadTimeout = MillisecondsValue(uploadServer, "ReadTimeout");
  options.AnswerTimeout = MillisecondsValue(uploadServer, "AnswerTimeout");
  options.KeepConnection = BooleanValue(uploadServer, "KeepConnection", true);
  options.Connections = ConnectionsValue(uploadServer, "Connections");
  ReadProxy(uploadServer, options);
  options.ProxyUsername = ValueText(uploadServer, "ProxyUsername");
  options.ProxyPassword = ValueText(uploadServer, "ProxyPassword");
  // Either would give a protection that is not there.
  if (options.VerifyCertificate && !SameTextAscii(TNetURI(uploadAt).Protocol(), "https")) {
    throw Exception("Error: \"VerifyCertificate\" is true, but the upload URL is not https");
  }
  if (!options.CertificateFile.empty() && !options.VerifyCertificate) {
    throw Exception("Error: \"CertificateFile\" is given, but \"VerifyCertificate\" is not true");
  }
  // Credentials for no proxy: most likely a Proxy element misspelt, which would go direct.
  for (const auto& [name, value] :
       {std::pair{"ProxyUsername", &options.ProxyUsername}, std::pair{"ProxyPassword", &options.ProxyPassword}}) {
    if (options.ProxyHost.empty() && !value->empty()) {
      throw Exception(Format("Error: \"%s\" is given, but \"Proxy\" is not", name));
    }
  }
  return options;
}

}  // namespace

Ref<TXmlDocument> TQvorMain::LoadConfiguration(const std::string& fileName) {
  auto document = MakeRef<TXmlDocument>();
  document->LoadFromFile(fileName);
  const Ref<TXmlElement> root = RootOf(*document, fileName);
  const Ref<TXmlNode> configData = root->RequireChild("configData");

  SourceFolder = platform::IncludeTrailingPathDelimiter(ValueText(*configData, "SourceFolder"));
  SetConfigFolder(platform::IncludeTrailingPathDelimiter(ValueText(*configData, "ConfigFolder")));
  // Looked up only now: a missing UploadServer is reported after the ledger's folder exists.
  const Ref<TXmlNode> uploadServer = configData->RequireChild("UploadServer");
  UploadAT = ValueText(*uploadServer, "UploadAT");
  Username = ValueText(*uploadServer, "Username");
  Password = ValueText(*uploadServer, "Password");
  ServerOptions = ReadServerOptions(*uploadServer, UploadAT);
  return document;
}

void TQvorMain::SetConfigFolder(const std::string& folder) {
  ConfigFolder = folder;
  EnsureDirectories(ConfigFolder);
}

}  // namespace qb
