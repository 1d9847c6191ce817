// Single model objects reached by id path through the results manager: a
// variable or a value object (a parameter-like holder of a typed value),
// the client's set-item on one of their attributes, and the result
// template that sends the current values of a list of them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/values/typed_value.h"
#include "framework/messaging/template.h"
#include "platform/status.h"

class DseMessage;

// What result items read and set of a model object. Every operation is
// the object's to answer.
class ResultObject {
 public:
  virtual ~ResultObject() = default;
  // A variable answers true; a value object false.
  virtual bool IsVariable() const = 0;
  virtual std::string Name() const = 0;
  // The object's type code (SUValue's).
  virtual std::uint16_t TypeCode() const = 0;
  virtual std::uint32_t Flags() const = 0;
  // The value-table index, -1 for none.
  virtual std::int32_t Index() const = 0;
  virtual double RealValue() const = 0;
  virtual void GetTypedValue(SUValue* value) const = 0;
  virtual void SetReal(double value) = 0;
  virtual Status SetTypedValue(const SUValue& value) = 0;
  // The partner the model gives the variable; null for none.
  virtual ResultObject* Companion() = 0;
  virtual void Bounds(double* lower, double* upper) const = 0;
  virtual void SetBounds(double lower, double upper) = 0;
  virtual void SetScale(double scale) = 0;
  // Non-zero when the structure changes.
  virtual Status SetSpecification(std::uint32_t code) = 0;
  virtual std::uint32_t Specification() const = 0;
  virtual Status SetSecondCode(std::uint32_t code) = 0;
  // The switch assignments use for flag bit 19, and the second switch.
  virtual void SetFirstSwitch(bool on) = 0;
  virtual void SetSecondSwitch(bool on) = 0;
  // The object's text attribute (its description).
  virtual void SetText(const char* text) = 0;
  // Sets the bits in the flag word.
  virtual void SetFlagBits(std::uint32_t bits) = 0;
};

// One value of a result reply.
struct SimResultResponseItem {
  ResultObject* object = nullptr;
  std::uint16_t kind = 0;
  std::uint16_t attribute = 0;
  std::string name;  // for the not-finite message
};

class SimResultsMgr;

// The template of a subtype-7 result request: its first reply holds each
// item's value kind, every fill the current values in item order.
class SimResultResponse final : public DseTemplate {
 public:
  // Kinds of values.
  static constexpr std::uint16_t kByte = 1;
  static constexpr std::uint16_t kWord = 4;
  static constexpr std::uint16_t kReal = 24;
  static constexpr std::uint16_t kRealAndFlags = 56;
  static constexpr std::uint16_t kText = 68;
  static constexpr std::uint16_t kTyped = 255;
  // The flag bits a kind-56 value carries.
  static constexpr std::uint32_t kFlagMask = 0x20A3180u;
  // What a value that is not finite, or an item that has none, reads as.
  static constexpr double kNoValue = static_cast<double>(1e28f);

  SimResultResponse(DseMessage& request, SimResultsMgr* manager);
  ~SimResultResponse() override;

  // The id-path list of the request body (after the period): per item a
  // flag byte, a u16 count, 24-bit ids (names after each when flagged),
  // the attribute and an unused u16. A path that does not resolve, or an
  // object of a type without a kind, keeps its place as kind 24.
  Status ReadItems(DseMessage& body);
  // The same on any stream while `more` answers true.
  Status ReadItems(BvuBinaryStream& body, const std::function<bool()>& more);
  Status BuildHeader(DseMessage** reply) override;
  Status Fill(DseMessage** reply) override;

  const std::vector<SimResultResponseItem>& Items() const { return items_; }
  // Items that read the object have no value from now on (it is going).
  void Forget(const ResultObject* object);
  // The manager is going: nothing is told to it any more.
  void Detach() { manager_ = nullptr; }
  // The kind a value of the type code is sent as; 0 for none.
  static std::uint16_t KindOf(std::uint16_t type_code);
  // The body of a kinds reply or a values reply.
  Status WriteKinds(BvuBinaryStream& out) const;
  Status WriteValues(BvuBinaryStream& out);

 private:
  Status WriteObject(BvuBinaryStream& out, const SimResultResponseItem& item);
  // What an item without an object sends in its kind's place.
  static Status WriteNoValue(BvuBinaryStream& out, std::uint16_t kind);
  // Printed once per template for each item.
  void TellOnce(std::size_t at, const std::string& text);

  SimResultsMgr* manager_;
  std::vector<SimResultResponseItem> items_;
  std::vector<bool> told_;
};
