// The registry as the association store: a key of the test under HKEY_CURRENT_USER with
// the layout of HKEY_CLASSES_ROOT stands in for it.
#include <windows.h>
#include <gtest/gtest.h>

#include <random>

#include "http/mime_table.h"
#include "platform/mime_store.h"

namespace qb {
namespace {

class RegistryStore {
 public:
  RegistryStore() {
    std::random_device seed;
    subkey_ = "Software\\QuobrinaTest\\" + std::to_string(seed());
  }
  ~RegistryStore() {
    ::RegDeleteTreeA(HKEY_CURRENT_USER, subkey_.c_str());
    ::RegDeleteKeyA(HKEY_CURRENT_USER, subkey_.c_str());
  }
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  std::string path() const { return "HKEY_CURRENT_USER\\" + subkey_; }

  void Set(const std::string& key, const char* valueName, const std::string& value) {
    HKEY handle = nullptr;
    const std::string full = subkey_ + "\\" + key;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, full.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExA(handle, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
    ::RegCloseKey(handle);
  }

 private:
  std::string subkey_;
};

TEST(MimeTableRegistryTest, RegistrySuppliesContentTypes) {
  RegistryStore store;
  store.Set(".csv", "Content Type", "Text/CSV");
  store.Set(".TXT", "Content Type", "Text/Plain+Local");
  store.Set(".empty", "Content Type", "");
  store.Set(".notype", "Other", "x/y");
  store.Set("notdot", "Content Type", "x/ignored");
  store.Set("MIME\\Database\\Content Type\\application/x-special", "Extension", ".spc");
  store.Set("MIME\\Database\\Content Type\\text/x-nodot", "Extension", "nod");
  // The media-type keys come second, so they win over the extension keys.
  store.Set("MIME\\Database\\Content Type\\text/x-comma-separated", "Extension", ".CSV");

  std::string pairs;
  for (const auto& association : platform::ReadMimeAssociations(store.path())) {
    pairs += association.extension + "=" + association.mediaType + ";";
  }
  EXPECT_EQ(pairs,
            "csv=Text/CSV;TXT=Text/Plain+Local;spc=application/x-special;CSV=text/x-comma-separated;"
            "nod=text/x-nodot;");

  const TNetMimeTable table(store.path());
  const struct {
    const char* fileName;
    const char* type;
  } cases[] = {
      {"C:\\Out\\data.csv", "text/x-comma-separated"},   {"C:\\Out\\REPORT.TXT", "text/plain+local"},
      {"C:\\Out\\x.spc", "application/x-special"},       {"C:\\Out\\x.nod", "text/x-nodot"},
      {"C:\\Out\\x.empty", "application/octet-stream"},  {"C:\\Out\\a.gif", "image/gif"},
      {"C:\\Out.d\\README", "application/octet-stream"},
  };
  for (const auto& c : cases) EXPECT_EQ(table.GetFileMIMEType(c.fileName), c.type) << c.fileName;
}

TEST(MimeTableRegistryTest, TheStoreIsTheClassesRoot) {
  EXPECT_EQ(platform::DefaultMimeStorePath(), "HKEY_CLASSES_ROOT");
  // A key that does not exist, and a file path that does not: nothing, silently.
  EXPECT_TRUE(platform::ReadMimeAssociations("HKEY_CURRENT_USER\\Software\\QuobrinaTest\\absent").empty());
  EXPECT_TRUE(platform::ReadMimeAssociations("C:\\absent\\mime.types").empty());
  const TNetMimeTable system;
  EXPECT_GE(system.Count(), 372u);
}

}  // namespace
}  // namespace qb
