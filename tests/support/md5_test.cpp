#include "support/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace qb {
namespace {

TEST(Md5Test, MatchesTheReferenceSuite) {
  // RFC 1321 appendix A.5.
  const std::pair<std::string, std::string> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [message, digest] : cases) EXPECT_EQ(digest, Md5Hex(message)) << message;
}

TEST(Md5Test, PiecewiseUpdatesAcrossBlockAndPaddingBoundaries) {
  // Lengths around 55/56/64 bytes exercise the one- and two-block padding; feeding the
  // same bytes in uneven pieces must give the digest of the whole.
  std::string message;
  for (int i = 0; i < 200; ++i) message += static_cast<char>(i * 7 + 3);
  for (const std::size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 200u}) {
    const std::string whole = message.substr(0, length);
    Md5 md5;
    for (std::size_t at = 0, step = 1; at < whole.size(); at += step, step = step * 2 + 1) {
      md5.Update(std::string_view(whole).substr(at, step));
    }
    EXPECT_EQ(Md5Of(whole), md5.Final()) << length;
  }
  // Known digests of binary and 64-byte messages.
  EXPECT_EQ("93b885adfe0da089cdf634904fd59f71", Md5Hex(std::string(1, '\0')));
  EXPECT_EQ("014842d480b571495a4a0363793f7367", Md5Hex(std::string(64, 'a')));
}

}  // namespace
}  // namespace qb
