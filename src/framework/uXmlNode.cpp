#include "framework/uXmlNode.h"

#include "framework/uStrUtils.h"

namespace {

class TPugiElementNode final : public IXmlElementNode {
 public:
  explicit TPugiElementNode(pugi::xml_node node) : FNode(node) {}

  bool HasAttribute(const std::string& name) const override {
    return !FNode.attribute(name.c_str()).empty();
  }
  TVariant GetAttribute(const std::string& name) const override {
    pugi::xml_attribute a = FNode.attribute(name.c_str());
    if (a.empty()) return {};
    return TVariant::OfText(a.value());
  }
  void SetAttribute(const std::string& name, const std::string& value) override {
    pugi::xml_attribute a = FNode.attribute(name.c_str());
    if (a.empty()) a = FNode.append_attribute(name.c_str());
    a.set_value(value.c_str());
  }

 private:
  pugi::xml_node FNode;
};

}  // namespace

TXmlNode MakeXmlNode(pugi::xml_node node) {
  if (!node) return nullptr;
  return std::make_shared<TPugiElementNode>(node);
}

std::string VariantToText(const TVariant& value) {
  switch (value.Kind) {
    case TVariant::TKind::Null:
      throw EVariantError("Variant is Null !!!! ***");
    case TVariant::TKind::Empty:
      throw EVariantError("Variant is Empty !!!! ***");
    case TVariant::TKind::Text:
      break;
  }
  return value.Text;
}

bool VariantToBool(const TVariant& value) {
  const std::string text = VariantToText(value);
  const std::string trimmed = TrimControl(text);
  if (SameText(trimmed, "true")) return true;
  if (SameText(trimmed, "false")) return false;
  std::int32_t number = 0;
  if (TryParseInt(trimmed, number)) return number != 0;
  throw EConvertError("'" + text + "' is not a valid boolean value");
}

std::string ReadTextAttribute(const TXmlNode& node, const std::string& name,
                              const std::string& fallback) {
  if (!node) return fallback;
  try {
    if (!node->HasAttribute(name)) return fallback;
    return VariantToText(node->GetAttribute(name));
  } catch (const EVariantError&) {  // a null or unassigned value counts as absent
    return fallback;
  }
}
