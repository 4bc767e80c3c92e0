// Implementation details: every value is read and checked before anything is made on
// the disk, so that a configuration that cannot be right changes nothing: no folder is
// listed or made and nothing is sent. Only then is the ledger's folder made, and only
// then is a missing UploadServer reported, after the folder exists, as it always was.
// Folder values get the platform's path delimiter appended unless they already end with
// it.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>

#include "driver/file_utils.h"
#include "driver/qvor_main.h"
#include "http/uri.h"
#include "net/net_rate_limit.h"
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

// The value of 1 to `most` decimal digits and nothing else (no sign, blank or point).
std::optional<std::uint64_t> DigitsValue(std::string_view text, std::size_t most) {
  if (text.empty() || text.size() > most) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

// How many uploads may run at once, each on a connection of its own: 1 to 64 in decimal
// digits; 1 when absent.
int ConnectionsValue(const TXmlNode& node, const char* name) {
  const std::string text = ValueText(node, name);
  if (text.empty()) return 1;
  const std::uint64_t value = DigitsValue(text, 9).value_or(0);
  if (value < 1 || value > kMaximumConnections) {
    throw Exception(
        Format("Error: \"%s\" must be a whole number from 1 to %d, not \"%s\"", name, kMaximumConnections, text));
  }
  return static_cast<int>(value);
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

// "1.0" (as an empty or absent element) or "1.1", as written: nothing else names a
// version the program speaks.
bool Http11Value(const TXmlNode& node) {
  const std::string text = ValueText(node, "HttpVersion");
  if (text.empty() || text == "1.0") return false;
  if (text == "1.1") return true;
  throw Exception(Format("Error: \"HttpVersion\" must be 1.0 or 1.1, not \"%s\"", text));
}

// A value that a run cannot do without: an empty one would have been the root folder,
// whose files a run would then send, or a URL that fails only once a file is queued.
std::string RequiredValue(const TXmlNode& node, const char* name) {
  std::string text = ValueText(node, name);
  if (text.empty()) throw Exception(Format("Error: \"%s\" is missing or empty", name));
  return text;
}

// A URL that no request could be made to: no host, or no scheme of the client's (http,
// https) and no port to send plain HTTP to.
void CheckUploadAT(const std::string& url) {
  const TNetURI parsed(url);
  const bool scheme = SameTextAscii(parsed.Protocol(), "http") || SameTextAscii(parsed.Protocol(), "https");
  if (parsed.Host().empty() || (!scheme && parsed.Port().empty())) {
    throw Exception(Format("Error: \"UploadAT\" must be an http or https URL, not \"%s\"", MaskUrlPassword(url)));
  }
}

// Found otherwise only at the first https connection, with OpenSSL's text and no name.
void CheckReadableFile(const char* name, const std::string& path) {
  try {
    platform::TFileStream::OpenReadExclusive(path);
  } catch (const EFOpenError& error) {
    throw Exception(Format("Error: \"%s\" cannot be read: %s", name, error.Message()));
  }
}

// Bytes per second: a whole number, with K or M after it for 1024 or 1024 * 1024 of them
// (as curl reads its --limit-rate); 0 is no limit, as absent is. Up to 1 PiB a second,
// which no link reaches: a larger figure is a typing error.
std::uint64_t RateValue(const TXmlNode& node) {
  const std::string text = ValueText(node, "RateLimit");
  if (text.empty()) return 0;
  std::string_view digits = text;
  std::uint64_t unit = 1;
  if (digits.ends_with('K') || digits.ends_with('k')) unit = 1024;
  if (digits.ends_with('M') || digits.ends_with('m')) unit = 1024 * 1024;
  if (unit > 1) digits.remove_suffix(1);
  constexpr std::uint64_t kMost = std::uint64_t{1} << 50;
  const std::optional<std::uint64_t> value = DigitsValue(digits, 16);
  if (!value || *value > kMost / unit) {
    throw Exception(Format(
        "Error: \"RateLimit\" must be bytes per second, a whole number with K or M after it for KiB or MiB, not \"%s\"",
        text));
  }
  return *value * unit;
}

TQvorServerOptions ReadServerOptions(const TXmlNode& uploadServer, const std::string& uploadAt) {
  TQvorServerOptions options;
  options.VerifyCertificate = BooleanValue(uploadServer, "VerifyCertificate");
  options.CertificateFile = ValueText(uploadServer, "CertificateFile");
  options.ConnectTimeout = MillisecondsValue(uploadServer, "ConnectTimeout");
  options.ReadTimeout = MillisecondsValue(uploadServer, "ReadTimeout");
  options.AnswerTimeout = MillisecondsValue(uploadServer, "AnswerTimeout");
  options.KeepConnection = BooleanValue(uploadServer, "KeepConnection", true);
  options.Http11 = Http11Value(uploadServer);
  options.RateLimit = RateValue(uploadServer);
  options.Connections = ConnectionsValue(uploadServer, "Connections");
  options.SkipRefusedFiles = BooleanValue(uploadServer, "SkipRefusedFiles");
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
  if (!options.CertificateFile.empty()) CheckReadableFile("CertificateFile", options.CertificateFile);
  return options;
}

// The elements the program reads, by the element they belong under; the root's name is
// free. Every other element is ignored, and most likely a misspelt one of these.
struct KnownElements {
  const char* parent;  // nullptr: the root element
  std::initializer_list<const char*> children;
};
const KnownElements kKnownElements[] = {
    {nullptr, {"configData"}},
    {"configData", {"SourceFolder", "ConfigFolder", "UploadServer"}},
    {"UploadServer",
     {"UploadAT", "Username", "Password", "VerifyCertificate", "CertificateFile", "ConnectTimeout", "ReadTimeout",
      "AnswerTimeout", "KeepConnection", "HttpVersion", "Connections", "RateLimit", "SkipRefusedFiles", "Proxy",
      "ProxyUsername", "ProxyPassword"}},
};

void CollectUnknownElements(const TXmlNode& node, const char* knownAs, std::vector<std::string>& unknown) {
  const TXmlNodeList* children = node.ChildList();
  for (int i = 0; children && i < children->GetCount(); ++i) {
    const TXmlNode& child = *children->Item(i);
    if (child.GetNodeType() != kXmlNodeElement) continue;
    const char* childKnownAs = nullptr;
    for (const KnownElements& known : kKnownElements) {
      if ((known.parent == nullptr) != (knownAs == nullptr) || (knownAs && std::string_view(known.parent) != knownAs)) {
        continue;
      }
      for (const char* name : known.children) {
        if (child.GetNodeName() == name) childKnownAs = name;
      }
    }
    const std::string path = (knownAs ? std::string(knownAs) : node.GetNodeName()) + "/" + child.GetNodeName();
    if (!childKnownAs) {
      unknown.push_back(path);
    } else {
      CollectUnknownElements(child, childKnownAs, unknown);
    }
  }
}

}  // namespace

std::vector<std::string> UnknownConfigurationElements(const TXmlDocument& document) {
  std::vector<std::string> unknown;
  if (const Ref<TXmlElement> root = document.GetDocumentElement()) CollectUnknownElements(*root, nullptr, unknown);
  return unknown;
}

Ref<TXmlDocument> LoadConfigurationDocument(const std::string& fileName) {
  auto document = MakeRef<TXmlDocument>();
  document->LoadFromFile(fileName);
  RootOf(*document, fileName);
  return document;
}

Ref<TXmlDocument> TQvorMain::ReadConfiguration(const std::string& fileName) {
  Ref<TXmlDocument> document = LoadConfigurationDocument(fileName);
  ReadConfiguration(*document, fileName);
  return document;
}

void TQvorMain::ReadConfiguration(const TXmlDocument& document, const std::string& fileName) {
  const Ref<TXmlNode> configData = RootOf(document, fileName)->RequireChild("configData");

  SourceFolder = platform::IncludeTrailingPathDelimiter(RequiredValue(*configData, "SourceFolder"));
  ConfigFolder = platform::IncludeTrailingPathDelimiter(RequiredValue(*configData, "ConfigFolder"));
  // A missing UploadServer is reported by LoadConfiguration, once the ledger's folder is made.
  if (const Ref<TXmlNode> uploadServer = configData->SelectFirst("UploadServer")) {
    UploadAT = RequiredValue(*uploadServer, "UploadAT");
    CheckUploadAT(UploadAT);
    Username = ValueText(*uploadServer, "Username");
    Password = ValueText(*uploadServer, "Password");
    ServerOptions = ReadServerOptions(*uploadServer, UploadAT);
    rateLimit_ = ServerOptions.RateLimit > 0 ? std::make_shared<TNetRateLimit>(ServerOptions.RateLimit) : nullptr;
  }
  // A folder that does not exist yet is no error: a parent program may make it later.
  // Its own entry without the delimiter, which would not name a plain file.
  if (platform::GetFileStatus(SourceFolder.size() > 1 ? SourceFolder.substr(0, SourceFolder.size() - 1)
                                                      : SourceFolder)) {
    if (const std::optional<std::string> why = platform::CannotList(SourceFolder)) {
      throw EFOpenError(Format("Cannot open folder \"%s\". %s", platform::ExpandFileName(SourceFolder), *why));
    }
  }
}

Ref<TXmlDocument> TQvorMain::LoadConfiguration(const std::string& fileName) {
  Ref<TXmlDocument> document = ReadConfiguration(fileName);
  SetConfigFolder(ConfigFolder);
  RootOf(*document, fileName)->RequireChild("configData")->RequireChild("UploadServer");
  return document;
}

void TQvorMain::SetConfigFolder(const std::string& folder) {
  ConfigFolder = folder;
  if (EnsureDirectories(ConfigFolder) && platform::DirectoryExists(ConfigFolder)) return;
  throw EFCreateError(Format("Cannot create folder \"%s\". %s", platform::ExpandFileName(ConfigFolder),
                             FolderCreationDenied(folder).value_or("Unable to create directory")));
}

}  // namespace qb
