#include "json_view.h"

#include "messages/catalogue.h"
#include "platform/message/pstring.h"
#include "messages/redact.h"

nlohmann::ordered_json MessageToJson(const PXMessageBase& message, bool showSecrets) {
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  const ClassInfo* cls = FindClass(message.group(), message.number());
  for (const PXMessageBase::FieldRef& f : message.fields()) {
    const FieldDesc* desc = cls ? FindField(*cls, f.index) : nullptr;
    const std::string name = desc ? desc->name : "field_" + std::to_string(f.index);
    // A password's place is masked whatever kind of value a text put there.
    if (!showSecrets && desc && desc->kind == FieldKind::Password) {
      out[name] = "***";
      continue;
    }
    switch (f.kind) {
      case FieldKind::Int:
        out[name] = f.intValue;
        break;
      case FieldKind::String:
        out[name] = showSecrets ? *f.stringValue : RedactPasswords(*f.stringValue);
        break;
      case FieldKind::Password:
        out[name] = showSecrets && f.passwordValue ? f.passwordValue->getPlainPassword().str()
                                                   : std::string("***");
        break;
      case FieldKind::Object:
        out[name] =
            f.object ? MessageToJson(*f.object, showSecrets) : nlohmann::ordered_json::object();
        break;
      case FieldKind::ObjectList: {
        auto array = nlohmann::ordered_json::array();
        if (f.objects)
          for (const PXMessageBase& m : *f.objects) array.push_back(MessageToJson(m, showSecrets));
        out[name] = array;
        break;
      }
      case FieldKind::IntList:
        out[name] = f.ints ? nlohmann::ordered_json(*f.ints) : nlohmann::ordered_json::array();
        break;
      case FieldKind::StringList: {
        auto array = nlohmann::ordered_json::array();
        if (f.strings)
          for (const std::string& text : *f.strings)
            array.push_back(showSecrets ? text : RedactPasswords(text));
        out[name] = array;
        break;
      }
    }
  }
  return out;
}
