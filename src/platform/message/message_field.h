// Storage of one field of a PXMessageBase. Internal to the message framework: the value lives
// behind raw owning pointers because the framework hands out pointers to those pointers.
#pragma once

#include <cstdint>

#include "platform/message/message.h"
#include "platform/message/pstring.h"

struct PXMessageBase::Field {
  short number = 0;
  unsigned int fieldId = 0;
  FieldKind kind = FieldKind::Int;
  int64_t i = 0;
  std::string s;
  pstring* p = nullptr;
  PXMessageBase* o = nullptr;
  std::vector<PXMessageBase>* lo = nullptr;
  std::vector<int64_t>* li = nullptr;
  std::vector<std::string>* ls = nullptr;

  Field() = default;
  Field(const Field& other)
      : number(other.number), fieldId(other.fieldId), kind(other.kind), i(other.i), s(other.s) {
    if (other.p) p = new pstring(*other.p);
    if (other.o) o = new PXMessageBase(*other.o);
    if (other.lo) lo = new std::vector<PXMessageBase>(*other.lo);
    if (other.li) li = new std::vector<int64_t>(*other.li);
    if (other.ls) ls = new std::vector<std::string>(*other.ls);
  }
  Field& operator=(const Field&) = delete;
  ~Field() { reset(); }

  void reset() {
    delete p;
    delete o;
    delete lo;
    delete li;
    delete ls;
    p = nullptr;
    o = nullptr;
    lo = nullptr;
    li = nullptr;
    ls = nullptr;
    i = 0;
    s.clear();
  }
};
