#include "platform/message/message.h"

#include <algorithm>
#include <cstdint>

#include "platform/message/message_field.h"

PXMessageBase::PXMessageBase(int group, int number) : group_(group), number_(number) {}

PXMessageBase::PXMessageBase(const PXMessageBase& other)
    : group_(other.group_), number_(other.number_) {
  fields_.reserve(other.fields_.size());
  for (const auto& [index, field] : other.fields_)
    fields_.emplace_back(index, std::make_unique<Field>(*field));
}

PXMessageBase& PXMessageBase::operator=(const PXMessageBase& other) {
  if (this != &other) {
    PXMessageBase copy(other);
    *this = std::move(copy);
  }
  return *this;
}

PXMessageBase::PXMessageBase(PXMessageBase&& other) noexcept
    : group_(other.group_), number_(other.number_), fields_(std::move(other.fields_)) {
  other.fields_.clear();
}

PXMessageBase& PXMessageBase::operator=(PXMessageBase&& other) noexcept {
  if (this != &other) {
    group_ = other.group_;
    number_ = other.number_;
    fields_ = std::move(other.fields_);
    other.fields_.clear();
  }
  return *this;
}

PXMessageBase::~PXMessageBase() = default;

namespace {

// The first field of `fields` (sorted by index) whose index is not below `index`.
template <class Fields>
auto LowerBound(Fields& fields, short index) {
  return std::lower_bound(fields.begin(), fields.end(), index,
                          [](const auto& field, short i) { return field.first < i; });
}

// Room for the fields of most messages at once.
constexpr size_t kFirstRoom = 8;

}  // namespace

std::unique_ptr<PXMessageBase::Field>& PXMessageBase::slot(short index) {
  if (fields_.empty()) fields_.reserve(kFirstRoom);
  if (fields_.empty() || fields_.back().first < index)
    return fields_.emplace_back(index, nullptr).second;
  auto it = LowerBound(fields_, index);
  if (it->first != index) it = fields_.emplace(it, index, nullptr);
  return it->second;
}

PXMessageBase::Field* PXMessageBase::find(short index) {
  auto it = LowerBound(fields_, index);
  return it == fields_.end() || it->first != index ? nullptr : it->second.get();
}

const PXMessageBase::Field* PXMessageBase::find(short index) const {
  auto it = LowerBound(fields_, index);
  return it == fields_.end() || it->first != index ? nullptr : it->second.get();
}

PXMessageBase::Field& PXMessageBase::place(short index, short number, unsigned int fieldId,
                                           FieldKind kind) {
  std::unique_ptr<Field>& held = slot(index);
  if (!held) held = std::make_unique<Field>();
  if (held->kind != kind) held->reset();
  held->kind = kind;
  held->number = number;
  held->fieldId = fieldId;
  return *held;
}

void PXMessageBase::clear() { fields_.clear(); }

void PXMessageBase::removeField(short index) {
  auto it = LowerBound(fields_, index);
  if (it != fields_.end() && it->first == index) fields_.erase(it);
}

bool PXMessageBase::isSet(short index, unsigned long, unsigned int) const {
  return find(index) != nullptr;
}

int64_t PXMessageBase::getint64(short index, unsigned long, unsigned int) const {
  const Field* f = find(index);
  return f && f->kind == FieldKind::Int ? f->i : 0;
}

void PXMessageBase::setint64(short index, short number, int64_t value, unsigned long,
                             unsigned int fieldId) {
  place(index, number, fieldId, FieldKind::Int).i = value;
}

std::string PXMessageBase::getstring(short index, short, unsigned long, unsigned int) const {
  const Field* f = find(index);
  return f && f->kind == FieldKind::String ? f->s : std::string();
}

void PXMessageBase::setstring(short index, short number, const std::string& value, unsigned long,
                              unsigned int fieldId) {
  place(index, number, fieldId, FieldKind::String).s = value;
}

void PXMessageBase::setstring(short index, short number, std::string&& value, unsigned long,
                              unsigned int fieldId) {
  place(index, number, fieldId, FieldKind::String).s = std::move(value);
}

std::string PXMessageBase::takestring(short index) {
  Field* f = find(index);
  if (!f || f->kind != FieldKind::String) return std::string();
  std::string value = std::move(f->s);
  f->s.clear();
  return value;
}

PXMessageBase::Field& PXMessageBase::scratch(short index, FieldKind kind) {
  if (!scratch_)
    scratch_ = std::make_unique<std::map<std::pair<short, int>, std::unique_ptr<Field>>>();
  auto& s = (*scratch_)[{index, static_cast<int>(kind)}];
  if (!s) {
    s = std::make_unique<Field>();
    s->kind = kind;
  }
  // Stable address, emptied on every hand-out: a read of an absent field always sees nothing.
  if (s->o) s->o->clear();
  if (s->lo) s->lo->clear();
  if (s->li) s->li->clear();
  if (s->ls) s->ls->clear();
  if (s->p) s->p->setPlainPassword(std::string());
  return *s;
}

PXMessageBase** PXMessageBase::getObjectAccessor(bool, bool create, short index, short number,
                                                 unsigned long, unsigned int fieldId,
                                                 int childGroup, int childNumber) {
  Field* f = find(index);
  if (f && f->kind == FieldKind::Object && f->o) return &f->o;
  if (!create) {
    Field& s = scratch(index, FieldKind::Object);
    if (!s.o || s.o->group_ != childGroup || s.o->number_ != childNumber) {
      delete s.o;
      s.o = new PXMessageBase(childGroup, childNumber);
    }
    return &s.o;
  }
  Field& placed = place(index, number, fieldId, FieldKind::Object);
  if (!placed.o) placed.o = new PXMessageBase(childGroup, childNumber);
  return &placed.o;
}

void PXMessageBase::setObjectAccessor(PXMessageBase* child, short index, short number,
                                      unsigned long, unsigned int fieldId) {
  if (!child) {  // no child: no field, whatever the field held
    removeField(index);
    return;
  }
  Field& f = place(index, number, fieldId, FieldKind::Object);
  if (f.o == child) return;
  delete f.o;
  f.o = child;
}

namespace {

template <class T>
T** ListSlot(PXMessageBase::Field* f, FieldKind kind, T* PXMessageBase::Field::*member) {
  if (f && f->kind == kind && f->*member) return &(f->*member);
  return nullptr;
}

}  // namespace

#define EBS_LIST_ACCESSOR(NAME, TYPE, KIND, MEMBER)                                 \
  std::vector<TYPE>** PXMessageBase::NAME(short index, short number, unsigned long, \
                                          unsigned int fieldId, bool create) {      \
    if (auto** slot = ListSlot(find(index), KIND, &Field::MEMBER)) return slot;     \
    if (!create) {                                                                  \
      Field& s = scratch(index, KIND);                                              \
      if (!s.MEMBER) s.MEMBER = new std::vector<TYPE>();                            \
      return &s.MEMBER;                                                             \
    }                                                                               \
    Field& placed = place(index, number, fieldId, KIND);                            \
    if (!placed.MEMBER) placed.MEMBER = new std::vector<TYPE>();                    \
    return &placed.MEMBER;                                                          \
  }

EBS_LIST_ACCESSOR(getlistobject, PXMessageBase, FieldKind::ObjectList, lo)
EBS_LIST_ACCESSOR(getlistint, int64_t, FieldKind::IntList, li)
EBS_LIST_ACCESSOR(getliststring, std::string, FieldKind::StringList, ls)
#undef EBS_LIST_ACCESSOR

void PXMessageBase::setlistobject(short index, short number, const std::vector<PXMessageBase>* list,
                                  unsigned long, unsigned int fieldId) {
  Field& f = place(index, number, fieldId, FieldKind::ObjectList);
  auto copy = std::make_unique<std::vector<PXMessageBase>>();
  if (list) *copy = *list;
  delete f.lo;
  f.lo = copy.release();
}

pstring** PXMessageBase::getpstringobject(short index, short, unsigned long, unsigned int) {
  Field* f = find(index);
  if (f && f->kind == FieldKind::Password && f->p) return &f->p;
  Field& s = scratch(index, FieldKind::Password);
  if (!s.p) s.p = new pstring();
  return &s.p;
}

void PXMessageBase::setpstring(short index, short number, const std::string& plain, unsigned long,
                               unsigned int fieldId) {
  Field& f = place(index, number, fieldId, FieldKind::Password);
  if (!f.p) f.p = new pstring();
  f.p->setPlainPassword(plain);
}

std::vector<PXMessageBase::FieldRef> PXMessageBase::fields() const {
  std::vector<FieldRef> out;
  out.reserve(fields_.size());
  for (const auto& [index, f] : fields_) {
    out.push_back(FieldRef{index, f->number, f->fieldId, f->kind, f->i, &f->s, f->p, f->o, f->lo,
                           f->li, f->ls});
  }
  return out;
}
