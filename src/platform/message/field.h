// Typed field descriptors and typed views over messages.
//
// A descriptor names one field of one message class H: its index, number, identity, kind and
// name. `Msg<H>` is a non-owning view of a message of class H whose accessors accept only
// descriptors of H, so a field of one class cannot be used on another by mistake, and no caller
// spells a raw field number. Views are cheap to copy and valid as long as the viewed message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/message/message.h"
#include "platform/message/pstring.h"

struct FieldDesc {
  short index;
  short number;
  unsigned int fieldId;
  FieldKind kind;
  const char* name;
};

template <class H>
struct HeldField : FieldDesc {
  using Holder = H;
  constexpr HeldField(short i, short n, unsigned id, FieldKind k, const char* nm)
      : FieldDesc{i, n, id, k, nm} {}
};

template <class H>
struct IntField : HeldField<H> {
  constexpr IntField(short i, short n, unsigned id, const char* nm)
      : HeldField<H>(i, n, id, FieldKind::Int, nm) {}
};
template <class H>
struct StringField : HeldField<H> {
  constexpr StringField(short i, short n, unsigned id, const char* nm)
      : HeldField<H>(i, n, id, FieldKind::String, nm) {}
};
template <class H>
struct PasswordField : HeldField<H> {
  constexpr PasswordField(short i, short n, unsigned id, const char* nm)
      : HeldField<H>(i, n, id, FieldKind::Password, nm) {}
};
template <class H, class C>
struct ObjectField : HeldField<H> {
  using Child = C;
  constexpr ObjectField(short i, short n, unsigned id, const char* nm)
      : HeldField<H>(i, n, id, FieldKind::Object, nm) {}
};
template <class H, class C>
struct ObjectListField : HeldField<H> {
  using Child = C;
  constexpr ObjectListField(short i, short n, unsigned id, const char* nm)
      : HeldField<H>(i, n, id, FieldKind::ObjectList, nm) {}
};
template <class H>
struct IntListField : HeldField<H> {
  constexpr IntListField(short i, short n, unsigned id, const char* nm)
      : HeldField<H>(i, n, id, FieldKind::IntList, nm) {}
};
template <class H>
struct StringListField : HeldField<H> {
  constexpr StringListField(short i, short n, unsigned id, const char* nm)
      : HeldField<H>(i, n, id, FieldKind::StringList, nm) {}
};

enum class Create : bool { No = false, Yes = true };

template <class H>
class Msg;

// Typed view of a list of child messages of class C.
template <class C>
class MsgList {
 public:
  explicit MsgList(std::vector<PXMessageBase>& items) : items_(&items) {}
  size_t size() const { return items_->size(); }
  bool empty() const { return items_->empty(); }
  Msg<C> at(size_t i) const { return Msg<C>(items_->at(i)); }
  Msg<C> append() {
    items_->emplace_back(C::kGroup, C::kNumber);
    return Msg<C>(items_->back());
  }
  void append(const PXMessageBase& item) { items_->push_back(item); }
  void clear() { items_->clear(); }
  std::vector<PXMessageBase>& raw() const { return *items_; }

 private:
  std::vector<PXMessageBase>* items_;
};

template <class H>
class Msg {
 public:
  explicit Msg(PXMessageBase& m) : m_(&m) {}
  PXMessageBase& raw() const { return *m_; }

  bool isSet(const HeldField<H>& f) const { return m_->isSet(f.index, H::kClassId, f.fieldId); }
  int64_t get(const IntField<H>& f) const { return m_->getint64(f.index, H::kClassId, f.fieldId); }
  std::string get(const StringField<H>& f) const {
    return m_->getstring(f.index, f.number, H::kClassId, f.fieldId);
  }
  void set(const IntField<H>& f, int64_t v) const {
    m_->setint64(f.index, f.number, v, H::kClassId, f.fieldId);
  }
  void set(const StringField<H>& f, const std::string& v) const {
    m_->setstring(f.index, f.number, v, H::kClassId, f.fieldId);
  }
  void set(const StringField<H>& f, std::string&& v) const {
    m_->setstring(f.index, f.number, std::move(v), H::kClassId, f.fieldId);
  }
  // The string, moved out of the message: the field stays set, and empty (for large texts that
  // pass through).
  std::string take(const StringField<H>& f) const { return m_->takestring(f.index); }
  void set(const PasswordField<H>& f, const std::string& plain) const {
    m_->setpstring(f.index, f.number, plain, H::kClassId, f.fieldId);
  }
  // The password; an absent field reads as an empty one.
  const pstring& get(const PasswordField<H>& f) const {
    return **m_->getpstringobject(f.index, f.number, H::kClassId, f.fieldId);
  }

  template <class C>
  Msg<C> child(const ObjectField<H, C>& f, Create create) const {
    return Msg<C>(**m_->getObjectAccessor(true, create == Create::Yes, f.index, f.number,
                                          H::kClassId, f.fieldId, C::kGroup, C::kNumber));
  }
  // The message takes over `child`.
  template <class C>
  void attach(const ObjectField<H, C>& f, std::unique_ptr<C> child) const {
    m_->setObjectAccessor(child.release(), f.index, f.number, H::kClassId, f.fieldId);
  }
  template <class C>
  MsgList<C> list(const ObjectListField<H, C>& f, Create create) const {
    return MsgList<C>(
        **m_->getlistobject(f.index, f.number, H::kClassId, f.fieldId, create == Create::Yes));
  }
  template <class C>
  void setList(const ObjectListField<H, C>& f, const std::vector<PXMessageBase>& items) const {
    m_->setlistobject(f.index, f.number, &items, H::kClassId, f.fieldId);
  }
  std::vector<int64_t>& list(const IntListField<H>& f, Create create) const {
    return **m_->getlistint(f.index, f.number, H::kClassId, f.fieldId, create == Create::Yes);
  }
  std::vector<std::string>& list(const StringListField<H>& f, Create create) const {
    return **m_->getliststring(f.index, f.number, H::kClassId, f.fieldId, create == Create::Yes);
  }

 private:
  PXMessageBase* m_;
};

// View of a message object of a catalogue class: View(request) gives Msg<Hux::OraEBSReqResp>.
template <class H>
Msg<H> View(H& m) {
  return Msg<H>(m);
}
