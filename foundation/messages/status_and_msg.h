// A status word with its message text, made where a failure or a piece of
// progress is noticed and handed on (to PrintStatusAndMsg or a message
// callback), which then owns it.
#pragma once

#include <cstdint>

#include "foundation/collections/list_elem.h"
#include "platform/status.h"

class BvuStatusAndMsg : public BvuListElem {
 public:
  // `format` (null counts as empty) is a printf format applied to text1 to
  // text4, each a "%s" argument, when text1 is non-empty; otherwise the
  // message is the format itself, percent signs and all. Callers must not
  // pass outside text as the format.
  BvuStatusAndMsg(Status status, const char* format, const char* text1 = nullptr,
                  const char* text2 = nullptr, const char* text3 = nullptr,
                  const char* text4 = nullptr);
  ~BvuStatusAndMsg() override;
  BvuStatusAndMsg(const BvuStatusAndMsg&) = delete;
  BvuStatusAndMsg& operator=(const BvuStatusAndMsg&) = delete;

  const char* GetText() const { return text_; }
  Status GetStatus() const { return status_; }

 private:
  char* text_;
  Status status_;
};
