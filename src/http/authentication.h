// HTTP authentication: the handlers that make the "Authorization" value of one scheme,
// the process-wide registry of schemes, and the decision the client takes on a 401.
//
// Contract with the client (a 401 answer):
//   DecideUnauthorized() returns RetryWithAuth only when the request is to be sent again
//   with the handler's new value, which needs the client's hoInProcessAuth; in every
//   other case it returns ProtocolError, the handler has been reset, and the client
//   raises ENetHTTPProtocolException. A 401 is never returned as if it were the answer
//   the caller asked for: a server that refused the credentials did not take the upload.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/net_exception.h"

namespace qb {

class TNetHTTPRequest;
class TNetHTTPResponse;

QB_DECLARE_EXCEPTION(ENetInvalidAlgorithm, ENetException);

enum class NextAction { NeedCredentials = 0, SendAgain = 1, GiveUp = 2 };

// Named values with names compared ignoring case; setting a name again replaces it.
class TNetNameValueList {
 public:
  std::string Value(std::string_view name) const;
  void SetValue(std::string_view name, std::string value);
  std::size_t Count() const { return items_.size(); }
  void Clear() { items_.clear(); }

 private:
  std::vector<std::pair<std::string, std::string>> items_;
};

// The parameters of the first challenge in `challenges` whose scheme is `scheme`
// (ignoring case): name=value pairs separated by ",", a value in double quotes running
// to the next unescaped quote, a backslash taking the next character literally.
TNetNameValueList ParseChallenge(const std::vector<std::string>& challenges, std::string_view scheme);

class TNetAuthentication {
 public:
  TNetAuthentication() = default;
  TNetAuthentication(const TNetAuthentication&) = delete;
  TNetAuthentication& operator=(const TNetAuthentication&) = delete;
  virtual ~TNetAuthentication();

  virtual const char* ClassName() const noexcept = 0;
  // The "Authorization" header value for the next request.
  virtual std::string Authentication() = 0;
  // Reads ChallengeLines and the credentials and says how to go on.
  virtual NextAction Next() = 0;
  virtual void Reset() { AuthStep = 0; }
  // The method and target of the request about to be sent (Digest hashes them).
  virtual void SetRequest(std::string_view method, std::string_view target);
  // Whether the connection must stay open between the steps of the exchange.
  virtual bool KeepAlive() const { return false; }
  virtual int Steps() const = 0;
  virtual void SetUsername(std::string_view username);
  virtual void SetPassword(std::string_view password);

  std::string Username() const { return AuthValues.Value("Username"); }
  std::string Password() const { return AuthValues.Value("Password"); }

  int AuthStep = 0;
  TNetNameValueList AuthValues;
  std::vector<std::string> ChallengeLines;
};

class TNetBasicAuthentication : public TNetAuthentication {
 public:
  const char* ClassName() const noexcept override { return "TNetBasicAuthentication"; }
  // "Basic " and the base64 of user name ":" password in Charset (RFC 7617).
  std::string Authentication() override;
  NextAction Next() override;
  int Steps() const override { return 1; }

  std::string Realm;
  std::string Charset;  // empty until a challenge has been read
};

class TNetDigestAuthentication : public TNetAuthentication {
 public:
  TNetDigestAuthentication();

  const char* ClassName() const noexcept override { return "TNetDigestAuthentication"; }
  // "Digest" at step 0; the full response of RFC 2617 section 3.2.2 at step 1.
  std::string Authentication() override;
  NextAction Next() override;
  void SetRequest(std::string_view method, std::string_view target) override;
  int Steps() const override { return 1; }

  std::string Method;
  std::string Uri;
  std::string Realm;
  std::string Nonce;
  int NonceCount = 0;
  std::string Opaque;
  bool Stale = false;
  std::string Algorithm;
  std::vector<std::string> QopOptions;
  std::vector<std::string> Domain;
  std::string EntityBody;  // hashed for qop "auth-int"; always empty here
  // Makes the client nonce; by default the MD5 of the local date and time as text.
  std::function<std::string()> CnonceSource;
};

// Serves the "NTLM" scheme with messages of its own making. Its exchange never reaches
// the wire here (a 401 is not answered with a new request), so it only takes its first
// decision; asking it for a message raises ENetException.
class TNetNTLMAuthentication : public TNetAuthentication {
 public:
  // Raises what the crypto library check raises when that library cannot be loaded.
  TNetNTLMAuthentication();

  const char* ClassName() const noexcept override { return "TNetNTLMAuthentication"; }
  std::string Authentication() override;
  NextAction Next() override;
  bool KeepAlive() const override { return true; }
  int Steps() const override { return 3; }
};

// Serves "NTLM" and "Negotiate" through the operating system's security interface, with
// the logged-on user's identity when no user name is given. Registered only where that
// interface loads (never on POSIX); like the handler above it takes only its first step.
class TNetSSPINTLMAuthentication : public TNetAuthentication {
 public:
  const char* ClassName() const noexcept override { return "TNetSSPINTLMAuthentication"; }
  std::string Authentication() override;
  NextAction Next() override;
  bool KeepAlive() const override { return true; }
  int Steps() const override { return 3; }
};

// The check, installed by the layer that loads the crypto library, that raises
// ENetOSSLCouldNotLoadSSLLibrary "Could not load SSL library." when it cannot be loaded.
// Without one installed, creating an NTLM handler checks nothing.
using TNetCryptoLibraryCheck = void (*)();
void SetCryptoLibraryCheck(TNetCryptoLibraryCheck check);

// A handler class: what the registry maps a scheme name to.
class TNetAuthenticationClass {
 public:
  using Factory = std::unique_ptr<TNetAuthentication> (*)();
  constexpr TNetAuthenticationClass(const char* className, Factory factory)
      : className_(className), factory_(factory) {}
  const char* ClassName() const { return className_; }
  std::unique_ptr<TNetAuthentication> Create() const { return factory_(); }

 private:
  const char* className_;
  Factory factory_;
};

extern const TNetAuthenticationClass kBasicAuthenticationClass;
extern const TNetAuthenticationClass kDigestAuthenticationClass;
extern const TNetAuthenticationClass kNTLMAuthenticationClass;
extern const TNetAuthenticationClass kSSPINTLMAuthenticationClass;

// Scheme names (ignoring case) in registration order, each with its handler class.
class TNetAuthSchemeRegistry {
 public:
  // Registering a present name replaces its class in place.
  void Register(std::string_view scheme, const TNetAuthenticationClass* authClass);
  const TNetAuthenticationClass* Find(std::string_view scheme) const;
  std::vector<std::pair<std::string, const TNetAuthenticationClass*>> Schemes() const;
  // The start-up registrations: Basic, NTLM, (NTLM and Negotiate of the security
  // interface,) Digest.
  void RegisterStandardSchemes(bool securityInterfaceLoads);

 private:
  std::vector<std::pair<std::string, const TNetAuthenticationClass*>> schemes_;
};

// The process-wide registry, filled with the standard schemes on first use.
void RegisterAuthScheme(std::string_view scheme, const TNetAuthenticationClass* authClass);
const TNetAuthenticationClass* FindAuthScheme(std::string_view scheme);

// The client's events around a challenge (none are set by the upload).
struct TNetAuthEvents {
  // May change the class chosen from the challenges; none means "not answerable".
  std::function<void(const TNetAuthenticationClass*& authClass, const std::vector<std::string>& challenges)>
      OnSelectAuthorization;
  // Asked for credentials (through the handler's SetUsername/SetPassword); answers
  // whether it supplied them.
  std::function<bool(TNetAuthentication& handler)> OnAuthorization;
};

// The party that answers a challenge: the request for a server, the proxy settings for a
// proxy. References into the caller's objects.
struct TNetAuthParty {
  std::unique_ptr<TNetAuthentication>& handler;
  std::string& username;
  std::string& password;
};

// The value of the party's "Authorization" (or "Proxy-Authorization") line: its handler's;
// without one, and with `basic`, that of a Basic handler made here, kept in the party and
// given its credentials; otherwise empty (no line).
std::string AuthorizationValue(TNetAuthParty party, bool basic);

// Whether a 401 (or 407) can be answered by `party`: counts the attempt, creates the
// handler from the first challenge of a registered scheme unless one is present, gives it
// the credentials and the challenges, and takes its next steps. True means only that a
// new request could carry an answer; whether one is sent is DecideUnauthorized's call.
bool AnswerAuthChallenge(TNetAuthParty party, const std::vector<std::string>& challenges, int& attempts,
                         const TNetAuthEvents& events);

enum class TNetAuthDecision { RetryWithAuth, ProtocolError };

// The client's step for a 401 (or, with the proxy's party and challenges, a 407) answer
// while `attempts` counts this request's tries; see the contract at the top of this file.
TNetAuthDecision DecideAuthChallenge(TNetAuthParty party, const std::vector<std::string>& challenges, int& attempts,
                                     int maxAuthRetries, bool inProcessAuth, const TNetAuthEvents& events);
TNetAuthDecision DecideUnauthorized(TNetHTTPRequest& request, const TNetHTTPResponse& response, int& authAttempts,
                                    int maxAuthRetries, bool inProcessAuth, const TNetAuthEvents& events);

}  // namespace qb
