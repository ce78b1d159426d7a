// PXMessageBase: the record type of the platform's message framework.
//
// A message is made empty from a group and a message number and holds fields keyed by their
// field index. A field is an integer (64-bit), a string, a password string, a child message, or a
// list of messages, integers or strings. A message owns its children, lists and password
// strings; copies are deep. The text form (serialize/unserialize) is the XML format described in
// docs/message-format.md (UTF-8 only, whatever the text declares; no document type declaration);
// a text that is not a valid message leaves the message empty.
//
// Callers normally reach fields through the typed descriptors of field.h; the raw operations
// below keep the framework's historic argument orders. Not thread-safe: one message is used by
// one thread at a time; distinct messages may be used concurrently.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class pstring;

enum class FieldKind { Int, String, Password, Object, ObjectList, IntList, StringList };

class PXMessageBase {
 public:
  PXMessageBase(int group, int number);
  PXMessageBase(const PXMessageBase& other);
  PXMessageBase& operator=(const PXMessageBase& other);
  PXMessageBase(PXMessageBase&& other) noexcept;
  PXMessageBase& operator=(PXMessageBase&& other) noexcept;
  virtual ~PXMessageBase();

  int group() const { return group_; }
  int number() const { return number_; }

  // Replaces the fields with those of `text`. A text that is not a valid message of this
  // group and number (or is larger than kMaxTextBytes, or holds a tag longer than 64 KiB or a
  // comment, CDATA section or processing instruction longer than 1 MiB, which the parser would
  // keep whole) leaves the message empty. Returns whether
  // the text was accepted; callers of the framework's historic interface ignore it.
  bool unserialize(const std::string& text);
  bool unserialize(const char* text);
  // The same for a text whose outermost message may be of any class: the message takes the
  // group and number of the text (or keeps its own when the text gives neither).
  bool unserializeAnyClass(const std::string& text);
  // Replaces `out` with the message's text. `flag` is kept for the historic interface.
  void serialize(std::string& out, bool flag) const;
  std::string serialized() const;

  bool isSet(short index, unsigned long classId, unsigned int fieldId) const;
  int64_t getint64(short index, unsigned long classId, unsigned int fieldId) const;
  void setint64(short index, short number, int64_t value, unsigned long classId,
                unsigned int fieldId);
  std::string getstring(short index, short number, unsigned long classId,
                        unsigned int fieldId) const;
  void setstring(short index, short number, const std::string& value, unsigned long classId,
                 unsigned int fieldId);
  void setstring(short index, short number, std::string&& value, unsigned long classId,
                 unsigned int fieldId);
  // The string of the field, moved out: the field stays set, and empty. "" when the field is
  // absent or holds no string.
  std::string takestring(short index);

  // Slot of a child message. With create false an absent child reads as an empty detached
  // message (writes to it are not kept); with create true it is made with the given group and
  // number and stored. The returned slot stays valid until the field is replaced or removed.
  PXMessageBase** getObjectAccessor(bool flag, bool create, short index, short number,
                                    unsigned long classId, unsigned int fieldId, int childGroup,
                                    int childNumber);
  // Takes over `child` (made with new); a previous child of the field is destroyed. A null
  // `child` removes the field.
  void setObjectAccessor(PXMessageBase* child, short index, short number, unsigned long classId,
                         unsigned int fieldId);

  // Slots of list fields; the same create rules as getObjectAccessor.
  std::vector<PXMessageBase>** getlistobject(short index, short number, unsigned long classId,
                                             unsigned int fieldId, bool create);
  std::vector<int64_t>** getlistint(short index, short number, unsigned long classId,
                                    unsigned int fieldId, bool create);
  std::vector<std::string>** getliststring(short index, short number, unsigned long classId,
                                           unsigned int fieldId, bool create);
  // The field holds copies of the elements of `list`.
  void setlistobject(short index, short number, const std::vector<PXMessageBase>* list,
                     unsigned long classId, unsigned int fieldId);

  // Slot of a password string; an absent field reads as an empty detached password.
  pstring** getpstringobject(short index, short number, unsigned long classId,
                             unsigned int fieldId);
  void setpstring(short index, short number, const std::string& plain, unsigned long classId,
                  unsigned int fieldId);

  void clear();
  void removeField(short index);
  bool empty() const { return fields_.empty(); }

  // Read-only walk over the fields in index order, for tools (JSON output, redaction tests).
  struct FieldRef {
    short index;
    short number;
    unsigned int fieldId;
    FieldKind kind;
    int64_t intValue;
    const std::string* stringValue;
    const pstring* passwordValue;
    const PXMessageBase* object;
    const std::vector<PXMessageBase>* objects;
    const std::vector<int64_t>* ints;
    const std::vector<std::string>* strings;
  };
  std::vector<FieldRef> fields() const;

  static constexpr size_t kMaxTextBytes = 256u << 20;
  static constexpr int kMaxDepth = 64;

  // Storage of one field; internal to the framework (message_field.h).
  struct Field;

 private:
  bool unserializeText(const std::string& text, bool anyClass);
  // The slot of field `index`, made empty (null) where there is none.
  std::unique_ptr<Field>& slot(short index);
  Field* find(short index);
  const Field* find(short index) const;
  Field& place(short index, short number, unsigned int fieldId, FieldKind kind);
  Field& scratch(short index, FieldKind kind);

  friend class MessageTextReader;
  friend class MessageTextWriter;

  int group_;
  int number_;
  // Sorted by field index, each index once: a message has a few fields, which a reader appends in
  // order.
  std::vector<std::pair<short, std::unique_ptr<Field>>> fields_;
  // Detached empty values handed out for absent fields read with create false.
  std::unique_ptr<std::map<std::pair<short, int>, std::unique_ptr<Field>>> scratch_;
};
