#include "messages/message_passwords.h"

#include <vector>

#include "messages/catalogue.h"

namespace {

void Walk(PXMessageBase& m, const std::string& with,
          const std::function<void(std::string&)>& onString, int depth) {
  if (depth > PXMessageBase::kMaxDepth) return;
  for (const PXMessageBase::FieldRef& f : m.fields()) {
    if (f.kind != FieldKind::Password && IsPasswordPlace(m.group(), m.number(), f.index)) {
      // A value at a password's place is a password, whatever it was sent as.
      m.removeField(f.index);
      m.setpstring(f.index, f.number, with, 0, f.fieldId);
      continue;
    }
    switch (f.kind) {
      case FieldKind::Password:
        m.setpstring(f.index, f.number, with, 0, f.fieldId);
        break;
      case FieldKind::String:
        if (onString && f.stringValue) {
          std::string value = *f.stringValue;
          onString(value);
          if (value != *f.stringValue) m.setstring(f.index, f.number, value, 0, f.fieldId);
        }
        break;
      case FieldKind::StringList:
        if (onString) {
          std::vector<std::string>** list = m.getliststring(f.index, f.number, 0, f.fieldId, false);
          if (list && *list)
            for (std::string& value : **list) onString(value);
        }
        break;
      case FieldKind::Object: {
        PXMessageBase** child =
            m.getObjectAccessor(false, false, f.index, f.number, 0, f.fieldId, 0, 0);
        if (child && *child) Walk(**child, with, onString, depth + 1);
        break;
      }
      case FieldKind::ObjectList: {
        std::vector<PXMessageBase>** list = m.getlistobject(f.index, f.number, 0, f.fieldId, false);
        if (list && *list)
          for (PXMessageBase& item : **list) Walk(item, with, onString, depth + 1);
        break;
      }
      case FieldKind::Int:
      case FieldKind::IntList:
        break;
    }
  }
}

}  // namespace

bool IsPasswordPlace(int group, int number, long long index) {
  const ClassInfo* cls = FindClass(group, number);
  const FieldDesc* field = cls && index >= -32768 && index <= 32767
                               ? FindField(*cls, static_cast<short>(index))
                               : nullptr;
  return field && field->kind == FieldKind::Password;
}

bool HasPasswordPlace(int group, int number) {
  const ClassInfo* cls = FindClass(group, number);
  if (!cls) return false;
  for (const FieldDesc* field : cls->fields)
    if (field->kind == FieldKind::Password) return true;
  return false;
}

void ReplacePasswords(PXMessageBase& message, const std::string& with,
                      const std::function<void(std::string&)>& onString) {
  Walk(message, with, onString, 0);
}
