// The thin element-node interface through which objects keep their settings
// as XML attributes, and its binding to pugixml.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include <pugixml.hpp>

// What an attribute read yields. The pugixml binding gives only Text; other
// bindings may report a null or an unassigned value.
struct TVariant {
  enum class TKind { Empty, Null, Text };
  TKind Kind = TKind::Empty;
  std::string Text;

  static TVariant OfText(std::string text) { return {TKind::Text, std::move(text)}; }
  static TVariant Null() { return {TKind::Null, {}}; }
};

// Raised by the attribute reader: "Variant is Null !!!! ***",
// "Variant is Empty !!!! ***".
class EVariantError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text that does not convert ("'x' is not a valid boolean value", ...).
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class IXmlElementNode {
 public:
  virtual ~IXmlElementNode() = default;
  virtual bool HasAttribute(const std::string& name) const = 0;
  virtual TVariant GetAttribute(const std::string& name) const = 0;
  virtual void SetAttribute(const std::string& name, const std::string& value) = 0;
};

using TXmlNode = std::shared_ptr<IXmlElementNode>;

// Wraps a pugixml element; the document must outlive the wrapper.
TXmlNode MakeXmlNode(pugi::xml_node node);

// Attribute reader: the text of a value, failing on null or unassigned values.
std::string VariantToText(const TVariant& value);
// Boolean reading: true/false in any letter case, or a whole number (0 = false).
bool VariantToBool(const TVariant& value);
// Boolean writing, read back by VariantToBool.
inline std::string BoolToText(bool value) { return value ? "true" : "false"; }

// Text of attribute `name`, or `fallback` when the node is empty, lacks the
// attribute or holds a null or unassigned value.
std::string ReadTextAttribute(const TXmlNode& node, const std::string& name,
                              const std::string& fallback);
