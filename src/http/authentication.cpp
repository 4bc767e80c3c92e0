// Implementation details: handlers keep their credentials in AuthValues and read the
// challenges they were given when asked for their next step. The decision on a 401 is
// split in two: AnswerAuthChallenge says whether an answer could be made, and
// DecideAuthChallenge whether one will be sent. Only a request that is sent again may
// end well; a 401 that is not retried is an error for the caller, never a success.
#include "http/authentication.h"

#include <atomic>
#include <mutex>

#include "http/charset.h"
#include "http/header_info.h"
#include "http/header_list.h"
#include "platform/clock.h"
#include "platform/security_interface.h"
#include "support/base64.h"
#include "support/format.h"
#include "support/md5.h"
#include "support/strings.h"

namespace qb {
namespace {

std::atomic<TNetCryptoLibraryCheck> cryptoLibraryCheck{nullptr};

// A realm or nonce that held a quote is sent back as it was received.
std::string Quoted(std::string_view value) { return QuotedString(value); }

bool ContainsText(const std::vector<std::string>& list, std::string_view word) {
  for (const std::string& item : list) {
    if (SameTextAscii(item, word)) return true;
  }
  return false;
}

std::string_view FirstWord(std::string_view text) {
  text = Trim(text);
  return text.substr(0, text.find(' '));
}

std::string DefaultCnonce() {
  const platform::LocalDateTime now = platform::LocalNow();
  return Md5Hex(
      Format("%.4d-%.2d-%.2d %.2d:%.2d:%.2d", now.year, now.month, now.day, now.hour, now.minute, now.second));
}

template <typename Handler>
std::unique_ptr<TNetAuthentication> Make() {
  return std::make_unique<Handler>();
}

[[noreturn]] void RaiseNoMessages(std::string_view scheme) {
  throw ENetException(Format("The %s authentication exchange is not supported", scheme));
}

// Rounds of asking OnAuthorization for credentials within one decision.
constexpr int kMaxCredentialRounds = 8;

}  // namespace

// --- named values -------------------------------------------------------------------

std::string TNetNameValueList::Value(std::string_view name) const {
  for (const auto& [key, value] : items_) {
    if (SameTextAscii(key, name)) return value;
  }
  return std::string();
}

void TNetNameValueList::SetValue(std::string_view name, std::string value) {
  for (auto& [key, current] : items_) {
    if (SameTextAscii(key, name)) {
      current = std::move(value);
      return;
    }
  }
  items_.emplace_back(std::string(name), std::move(value));
}

TNetNameValueList ParseChallenge(const std::vector<std::string>& challenges, std::string_view scheme) {
  TNetNameValueList params;
  for (const std::string& challenge : challenges) {
    const std::string_view line = Trim(challenge);
    const std::string_view word = FirstWord(line);
    if (!SameTextAscii(word, scheme)) continue;
    const std::string_view text = line.substr(word.size());
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t eq = text.find('=', at);
      std::string_view name = Trim(text.substr(at, eq == std::string_view::npos ? std::string_view::npos : eq - at));
      while (!name.empty() && name[0] == ',') name = Trim(name.substr(1));
      if (eq == std::string_view::npos) {
        if (!name.empty()) params.SetValue(name, std::string());
        break;
      }
      at = eq + 1;
      while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
      std::string value;
      if (at < text.size() && text[at] == '"') {
        for (++at; at < text.size() && text[at] != '"'; ++at) {
          if (text[at] == '\\' && at + 1 < text.size()) ++at;
          value += text[at];
        }
        at = std::min(text.find(',', at), text.size()) + 1;
      } else {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        value = Trim(text.substr(at, comma - at));
        at = comma + 1;
      }
      if (!name.empty()) params.SetValue(name, std::move(value));
    }
    break;
  }
  return params;
}

// --- handlers ---------------------------------------------------------------------------

TNetAuthentication::~TNetAuthentication() = default;

void TNetAuthentication::SetRequest(std::string_view, std::string_view) {}
void TNetAuthentication::SetUsername(std::string_view username) {
  AuthValues.SetValue("Username", std::string(username));
}
void TNetAuthentication::SetPassword(std::string_view password) {
  AuthValues.SetValue("Password", std::string(password));
}

std::string TNetBasicAuthentication::Authentication() {
  return "Basic " + Base64Encode(EncodeCharsetText(Username() + ":" + Password(), Charset));
}

NextAction TNetBasicAuthentication::Next() {
  const TNetNameValueList params = ParseChallenge(ChallengeLines, "Basic");
  Realm = params.Value("realm");
  Charset = "ISO-8859-1";
  for (const char* name : {"charset", "accept-charset", "encoding", "enc"}) {
    if (std::string value = params.Value(name); !value.empty()) {
      Charset = std::move(value);
      break;
    }
  }
  if (AuthStep != 0) return NextAction::GiveUp;
  return Username().empty() ? NextAction::NeedCredentials : NextAction::SendAgain;
}

TNetDigestAuthentication::TNetDigestAuthentication() : CnonceSource(DefaultCnonce) {}

void TNetDigestAuthentication::SetRequest(std::string_view method, std::string_view target) {
  Method = method;
  Uri = target;
}

NextAction TNetDigestAuthentication::Next() {
  if (AuthStep != 0) return NextAction::SendAgain;
  Domain.clear();
  QopOptions.clear();
  const TNetNameValueList params = ParseChallenge(ChallengeLines, "Digest");
  Realm = params.Value("realm");
  if (std::string nonce = params.Value("nonce"); nonce != Nonce) {
    Nonce = std::move(nonce);
    NonceCount = 1;
  }
  Domain = SplitTrimmed(params.Value("domain"), ' ');
  Opaque = params.Value("opaque");
  Stale = SameTextAscii(params.Value("stale"), "True");
  Algorithm = params.Value("algorithm");
  QopOptions = SplitTrimmed(params.Value("qop"), ',');
  if (Algorithm.empty()) {
    Algorithm = "MD5";
  } else if (!SameTextAscii(Algorithm, "MD5") && !SameTextAscii(Algorithm, "MD5-sess")) {
    throw ENetInvalidAlgorithm("Unsupported hash algorithm. This implementation supports only MD5 encoding.");
  }
  if (Username().empty()) return NextAction::NeedCredentials;
  AuthStep = 1;
  return NextAction::SendAgain;
}

// RFC 2617 section 3.2.2.
std::string TNetDigestAuthentication::Authentication() {
  if (AuthStep == 0) return "Digest";
  const std::string cnonce = CnonceSource();
  std::string a1 = Username() + ":" + Realm + ":" + Password();
  if (SameTextAscii(Algorithm, "MD5-sess")) a1 = Md5Hex(a1) + ":" + Nonce + ":" + cnonce;
  std::string a2 = Method + ":" + Uri;
  std::string qop;
  if (ContainsText(QopOptions, "auth-int")) {
    qop = "auth-int";
    a2 += ":" + Md5Hex(EntityBody);
  } else if (ContainsText(QopOptions, "auth")) {
    qop = "auth";
  }
  const std::string nc = Format("%.8x", NonceCount);
  const std::string response =
      qop.empty() ? Md5Hex(Md5Hex(a1) + ":" + Nonce + ":" + Md5Hex(a2))
                  : Md5Hex(Md5Hex(a1) + ":" + Nonce + ":" + nc + ":" + cnonce + ":" + qop + ":" + Md5Hex(a2));
  std::string value = "Digest username=" + Quoted(Username()) + ", realm=" + Quoted(Realm) +
                      ", nonce=" + Quoted(Nonce) + ", algorithm=" + Quoted(Algorithm) + ", uri=" + Quoted(Uri) + ", ";
  if (!qop.empty()) value += "qop=" + Quoted(qop) + ", nc=" + nc + ", cnonce=" + Quoted(cnonce) + ", ";
  value += "response=" + Quoted(response);
  if (!Opaque.empty()) value += ", opaque=" + Quoted(Opaque);
  ++NonceCount;
  AuthStep = 0;
  return value;
}

TNetNTLMAuthentication::TNetNTLMAuthentication() {
  if (const TNetCryptoLibraryCheck check = cryptoLibraryCheck.load()) check();
}

std::string TNetNTLMAuthentication::Authentication() { RaiseNoMessages("NTLM"); }

NextAction TNetNTLMAuthentication::Next() {
  if (AuthStep != 0) return NextAction::GiveUp;
  return Username().empty() ? NextAction::NeedCredentials : NextAction::SendAgain;
}

std::string TNetSSPINTLMAuthentication::Authentication() { RaiseNoMessages("NTLM"); }

NextAction TNetSSPINTLMAuthentication::Next() { return AuthStep == 0 ? NextAction::SendAgain : NextAction::GiveUp; }

void SetCryptoLibraryCheck(TNetCryptoLibraryCheck check) { cryptoLibraryCheck.store(check); }

// --- registry ---------------------------------------------------------------------------

const TNetAuthenticationClass kBasicAuthenticationClass("TNetBasicAuthentication", Make<TNetBasicAuthentication>);
const TNetAuthenticationClass kDigestAuthenticationClass("TNetDigestAuthentication", Make<TNetDigestAuthentication>);
const TNetAuthenticationClass kNTLMAuthenticationClass("TNetNTLMAuthentication", Make<TNetNTLMAuthentication>);
const TNetAuthenticationClass kSSPINTLMAuthenticationClass("TNetSSPINTLMAuthentication",
                                                           Make<TNetSSPINTLMAuthentication>);

void TNetAuthSchemeRegistry::Register(std::string_view scheme, const TNetAuthenticationClass* authClass) {
  for (auto& [name, current] : schemes_) {
    if (SameTextAscii(name, scheme)) {
      current = authClass;
      return;
    }
  }
  schemes_.emplace_back(std::string(scheme), authClass);
}

const TNetAuthenticationClass* TNetAuthSchemeRegistry::Find(std::string_view scheme) const {
  for (const auto& [name, authClass] : schemes_) {
    if (SameTextAscii(name, scheme)) return authClass;
  }
  return nullptr;
}

std::vector<std::pair<std::string, const TNetAuthenticationClass*>> TNetAuthSchemeRegistry::Schemes() const {
  return schemes_;
}

void TNetAuthSchemeRegistry::RegisterStandardSchemes(bool securityInterfaceLoads) {
  Register("Basic", &kBasicAuthenticationClass);
  Register("NTLM", &kNTLMAuthenticationClass);
  if (securityInterfaceLoads) {
    Register("NTLM", &kSSPINTLMAuthenticationClass);
    Register("Negotiate", &kSSPINTLMAuthenticationClass);
  }
  Register("Digest", &kDigestAuthenticationClass);
}

namespace {

struct GlobalRegistry {
  std::mutex lock;
  TNetAuthSchemeRegistry registry;
  GlobalRegistry() { registry.RegisterStandardSchemes(platform::SecurityInterfaceLoads()); }
};

GlobalRegistry& Global() {
  static GlobalRegistry global;
  return global;
}

}  // namespace

void RegisterAuthScheme(std::string_view scheme, const TNetAuthenticationClass* authClass) {
  GlobalRegistry& global = Global();
  const std::lock_guard<std::mutex> guard(global.lock);
  global.registry.Register(scheme, authClass);
}

const TNetAuthenticationClass* FindAuthScheme(std::string_view scheme) {
  GlobalRegistry& global = Global();
  const std::lock_guard<std::mutex> guard(global.lock);
  return global.registry.Find(scheme);
}

// --- the decision on a 401 ------------------------------------------------------------

std::string AuthorizationValue(TNetAuthParty party, bool basic) {
  if (!party.handler && basic) {
    party.handler = std::make_unique<TNetBasicAuthentication>();
    party.handler->SetUsername(party.username);
    party.handler->SetPassword(party.password);
  }
  return party.handler ? party.handler->Authentication() : std::string();
}

bool AnswerAuthChallenge(TNetAuthParty party, const std::vector<std::string>& challenges, int& attempts,
                         const TNetAuthEvents& events) {
  ++attempts;
  if (!party.handler) {
    const TNetAuthenticationClass* authClass = nullptr;
    for (const std::string& challenge : challenges) {
      if ((authClass = FindAuthScheme(FirstWord(challenge)))) break;
    }
    if (events.OnSelectAuthorization) events.OnSelectAuthorization(authClass, challenges);
    if (!authClass) return false;
    party.handler = authClass->Create();
  }
  TNetAuthentication& handler = *party.handler;
  handler.SetUsername(party.username);
  handler.SetPassword(party.password);
  handler.ChallengeLines = challenges;
  for (int round = 0;; ++round) {
    switch (handler.Next()) {
      case NextAction::SendAgain: return true;
      case NextAction::GiveUp: return false;
      case NextAction::NeedCredentials: break;
    }
    if (!events.OnAuthorization || round == kMaxCredentialRounds) return false;
    handler.SetUsername(party.username);
    handler.SetPassword(party.password);
    if (!events.OnAuthorization(handler)) return false;
    // The same credentials would get the same answer again, for ever.
    if (handler.Username() == party.username && handler.Password() == party.password) return false;
    party.username = handler.Username();
    party.password = handler.Password();
  }
}

TNetAuthDecision DecideAuthChallenge(TNetAuthParty party, const std::vector<std::string>& challenges, int& attempts,
                                     int maxAuthRetries, bool inProcessAuth, const TNetAuthEvents& events) {
  if (attempts < maxAuthRetries && AnswerAuthChallenge(party, challenges, attempts, events) && inProcessAuth) {
    return TNetAuthDecision::RetryWithAuth;
  }
  if (party.handler) party.handler->Reset();
  return TNetAuthDecision::ProtocolError;
}

TNetAuthDecision DecideUnauthorized(TNetHTTPRequest& request, const TNetHTTPResponse& response, int& authAttempts,
                                    int maxAuthRetries, bool inProcessAuth, const TNetAuthEvents& events) {
  return DecideAuthChallenge({request.AuthHandler, request.Username, request.Password}, response.WWWAuthenticate,
                             authAttempts, maxAuthRetries, inProcessAuth, events);
}

}  // namespace qb
