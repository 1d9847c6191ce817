// DseTemplate keeps the header of a received request so that it can be
// answered later or, for a periodic request, once per timer round; the
// controller owns kept templates. DseResponse is the template that answers
// id-path reads: one DseServerItem per item read, refilled with the items'
// current values on every round.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "foundation/collections/list_elem.h"
#include "foundation/directory/id_path.h"
#include "framework/messaging/bb_tree.h"
#include "platform/status.h"

class DseIOQueue;
class DseMessage;
class DseServerCB;

class DseTemplate : public DseBBTreeLeaf {
 public:
  // Copies the request's header (its id gets one more holder); a subtype-7
  // request gives up the first 8 bytes of its body as the period.
  explicit DseTemplate(DseMessage& request);
  ~DseTemplate() override;
  DseTemplate(const DseTemplate&) = delete;
  DseTemplate& operator=(const DseTemplate&) = delete;

  std::uint32_t GetId() const override { return id; }
  // "[" address "] id=" id in 4 columns " (DseTemplate)".
  void PrintLeaf(std::ostream& out) override;
  // The header reply, and the reply with the current values; null and a
  // failure when they cannot be made.
  virtual Status BuildHeader(DseMessage** reply) = 0;
  virtual Status Fill(DseMessage** reply) = 0;

  // A fresh reply addressed to the requester: the request's type, id,
  // source peer and aux, sequence + 1; null without memory.
  DseMessage* MakeReply(std::uint32_t reply_subtype, std::uint32_t reply_class,
                        std::uint32_t reply_flags) const;

  std::uint32_t type = 0;
  std::uint32_t id = 0;
  DseIOQueue* source_peer = nullptr;
  std::uint32_t subtype = 0;
  std::uint32_t flags = 0;  // the request's, with 0x80
  std::uint32_t aux = 0;
  std::uint32_t sequence = 0;
  std::uint32_t message_class = 0;
  double period = 0.0;
  DseServerCB* server = nullptr;
  std::uint32_t busy = 0;  // 1 while being filled; not destroyed then
};

// One item of an id-path read: its own copy of the ids, the selectors, and
// the value's wire type code and address as the server resolved them.
class DseServerItem : public BvuListElem {
 public:
  BvuIdPath ids;
  std::uint32_t first = 0;
  std::uint32_t second = 0;
  std::uint32_t type_code = 0;
  void* value_address = nullptr;  // not owned
  bool resolved = false;          // the server found the item
};

class DseResponse : public DseTemplate {
 public:
  DseResponse(DseMessage& request, DseServerCB* callback);
  ~DseResponse() override;

  // Appends an item; 1, or 0 without memory.
  std::int32_t AddItem(const BvuIdPath& ids, std::uint32_t first, std::uint32_t second,
                       std::uint32_t type_code, void* value_address, bool resolved);
  // Class 1, subtype 7, flags 0xC0; body: each item's type code as u16.
  Status BuildHeader(DseMessage** reply) override;
  // The request's class and subtype, flags 0x80; body: each item's value by
  // its type code. Items are looked up again on every fill but the first,
  // because the objects they point into may have gone since; an item whose
  // type has changed, an unknown type code or a failed write fail the fill.
  Status Fill(DseMessage** reply) override;

 private:
  Status Refresh();

  BvuListHead items_;
  bool fresh_ = true;  // the addresses were resolved for this round
};
