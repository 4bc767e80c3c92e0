// Helpers shared by the XML library's tests.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "support/exception.h"
#include "xml/xml_document.h"

namespace qb::test {

inline Ref<TXmlDocument> ParseXml(std::string_view text, bool preserveWhiteSpace = false) {
  auto doc = MakeRef<TXmlDocument>();
  doc->SetPreserveWhiteSpace(preserveWhiteSpace);
  doc->LoadXml(text);
  return doc;
}

// The message of the Exception that loading raises, or "" when it loads.
inline std::string LoadError(std::string_view text) {
  try {
    ParseXml(text);
  } catch (const Exception& e) {
    return e.Message();
  }
  return "";
}

// "Class: message" of the Exception that the action raises, or "" when it raises none.
inline std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
  return "";
}

inline Ref<TXmlNode> Child(const Ref<TXmlNode>& node, int index) { return node->GetChildNodes()->GetItem(index); }

}  // namespace qb::test
