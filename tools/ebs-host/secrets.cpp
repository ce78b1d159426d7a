#include "secrets.h"

#include <vector>

void EmptyPasswords(PXMessageBase& message) {
  for (const PXMessageBase::FieldRef& f : message.fields()) {
    switch (f.kind) {
      case FieldKind::Password:
        message.setpstring(f.index, f.number, "", 0, f.fieldId);
        break;
      case FieldKind::Object:
        if (f.object) {
          PXMessageBase** child = message.getObjectAccessor(
              false, false, f.index, f.number, 0, f.fieldId, f.object->group(), f.object->number());
          if (child && *child) EmptyPasswords(**child);
        }
        break;
      case FieldKind::ObjectList: {
        std::vector<PXMessageBase>** list =
            message.getlistobject(f.index, f.number, 0, f.fieldId, false);
        if (list && *list)
          for (PXMessageBase& item : **list) EmptyPasswords(item);
        break;
      }
      default:
        break;
    }
  }
}

std::string TextWithoutPasswords(const PXMessageBase& message) {
  PXMessageBase copy(message);
  EmptyPasswords(copy);
  return copy.serialized();
}
