// TNetURI: splits a URL into protocol, user information, host, port, path, document,
// parameters and bookmark, and composes it back. Every part is kept exactly as written:
// nothing is decoded, and only the request line's form encodes non-ASCII characters.
#pragma once

#include <string>
#include <string_view>

#include "net/ip_version.h"
#include "net/net_exception.h"

namespace qb {

QB_DECLARE_EXCEPTION(ENetURIException, ENetException);

class TNetURI {
 public:
  TNetURI() = default;
  // Parses at once when `uri` is not empty.
  explicit TNetURI(std::string_view uri);

  // Sets every field from `uri`; never fails. A URL without "://" yields only path,
  // document, parameters and bookmark.
  void Parse(std::string_view uri);

  // Path, document and, when the parameters are not empty, "?" and the parameters.
  std::string PathAndParams() const;
  // The same as it goes into a request line: a non-ASCII character becomes the bytes of
  // its UTF-8 form, each as "%" and two uppercase hexadecimal digits (RFC 3986 section
  // 2.1), since the line itself is 7-bit. ASCII is left exactly as written.
  std::string WirePathAndParams() const;

  // protocol "://" [user [":" password] "@"] host [":" port] path document ["?" params]
  // ["#" bookmark]. The port is left out when it is the protocol's default. Raises
  // ENetURIException when the protocol or the host is empty.
  std::string Compose(bool withUserInfo = false, bool withBookmark = false) const;

  // Resolves `path` against `basePath` (both directory paths of a URL): an absolute path
  // replaces the base unchanged; a relative one is joined to it with "." and ".."
  // segments resolved and doubled "/" collapsed, giving a path that starts and ends
  // with "/".
  static std::string MergePaths(std::string_view basePath, std::string_view path);

  // The URL as passed in, after backslashes were turned into "/".
  const std::string& URI() const { return uri_; }
  const std::string& Protocol() const { return protocol_; }
  const std::string& Username() const { return username_; }
  const std::string& Password() const { return password_; }
  const std::string& Host() const { return host_; }
  const std::string& Port() const { return port_; }
  const std::string& Path() const { return path_; }
  const std::string& Document() const { return document_; }
  const std::string& Params() const { return params_; }
  const std::string& Bookmark() const { return bookmark_; }
  TNetIPVersion IPVersion() const { return ipVersion_; }

  void SetProtocol(std::string value) { protocol_ = std::move(value); }
  void SetUsername(std::string value) { username_ = std::move(value); }
  void SetPassword(std::string value) { password_ = std::move(value); }
  void SetHost(std::string value) { host_ = std::move(value); }
  void SetPort(std::string value) { port_ = std::move(value); }
  void SetPath(std::string value) { path_ = std::move(value); }
  void SetDocument(std::string value) { document_ = std::move(value); }
  void SetParams(std::string value) { params_ = std::move(value); }
  void SetBookmark(std::string value) { bookmark_ = std::move(value); }
  void SetIPVersion(TNetIPVersion value) { ipVersion_ = value; }

 private:
  std::string uri_;
  std::string protocol_;
  std::string username_;
  std::string password_;
  std::string host_;
  std::string port_;
  std::string path_;
  std::string document_;
  std::string params_;
  std::string bookmark_;
  TNetIPVersion ipVersion_ = Net_IPv4;
};

// `url` with the password of its user information replaced by "***", for the log. The
// user information is where the parser above finds it (backslashes read as "/", the
// ":/" forms included), or, where a password holding "/", "?" or "#" would push the
// parser past it, from the first ":" of the authority to the last "@" of the URL. So a
// URL without user information whose authority has a port and whose path or query holds
// an "@" is masked from the port on; a password never shows.
std::string MaskUrlPassword(std::string_view url);

}  // namespace qb
