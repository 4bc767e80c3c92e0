// Implementation details: the values are read in a fixed order, so that the ledger's
// folder exists before UploadServer is looked up. Folder values get the platform's path
// delimiter appended unless they already end with it.
#include "driver/file_utils.h"
#include "driver/qvor_main.h"
#include "platform/files.h"
#include "support/exception.h"
#include "support/format.h"

namespace qb {
namespace {

Ref<TXmlElement> RootOf(const TXmlDocument& document, const std::string& fileName) {
  Ref<TXmlElement> root = document.GetDocumentElement();
  if (!root) {
    throw Exception(Format("Error: Configuration file \"%s\" has no root element",
                           platform::ExpandFileName(fileName)));
  }
  return root;
}

std::string ValueText(const TXmlNode& node, std::string_view name) { return XmlTextOfValue(node.GetValue(name)); }

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
  return document;
}

void TQvorMain::SetConfigFolder(const std::string& folder) {
  ConfigFolder = folder;
  EnsureDirectories(ConfigFolder);
}

}  // namespace qb
