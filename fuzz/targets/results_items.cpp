// The results manager's readers of item access and of its client protocol:
// the first byte picks one (mod 4). 0: the id-path list of a result
// request, then the kinds reply and two fills. 1: a set-item: an id path,
// the attribute (u32), a type code and the typed value. 2: a numbered
// request body as it comes off the wire. 3: a command: its number (u8),
// then integers read while bytes last.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "fuzz/byte_stream.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/received_request.h"
#include "fuzz/results_problem.h"
#include "results/manager/result_items.h"
#include "tests/results/quiet_result_object.h"

namespace {

class Object : public QuietResultObject {
 public:
  Object(bool variable, std::uint16_t type) : variable_(variable) {
    value_.SetType(type);
    if (type == SUValue::kReal) value_.SetReal(1.5);
  }
  bool IsVariable() const override { return variable_; }
  std::string Name() const override { return "Plant.v"; }
  std::uint16_t TypeCode() const override { return value_.type; }
  std::uint32_t Flags() const override { return 0x80; }
  std::int32_t Index() const override { return 1; }
  double RealValue() const override { return value_.payload.real; }
  void GetTypedValue(SUValue* out) const override {
    out->SetType(SUValue::kNoType);
    out->Assign(value_);
  }
  void SetReal(double v) override {
    if (value_.type == SUValue::kReal) value_.SetReal(v);
  }
  Status SetTypedValue(const SUValue& v) override {
    SUValue copy;
    copy.SetType(value_.type);
    copy.Assign(v);
    return 0;
  }
  ResultObject* Companion() override { return variable_ ? this : nullptr; }

 private:
  bool variable_;
  SUValue value_;
};

class Problem : public vantor_fuzz::ResultsProblem {
 public:
  ResultObject* ResolveObject(const BvuIdPath& path) override {
    if (path.count() == 0) return nullptr;
    switch (path.ids()[0] % 4) {
      case 0:
        return &real_;
      case 1:
        return &integer_;
      case 2:
        return &text_;
      default:
        return nullptr;
    }
  }
  AssignableVariable* Assignable(ResultObject*) override { return nullptr; }

 private:
  Object real_{true, SUValue::kReal};
  Object integer_{false, SUValue::kInteger};
  Object text_{false, SUValue::kString};
};

std::unique_ptr<DseMessage> Received(const std::uint8_t* body, std::size_t size) {
  return vantor_fuzz::ReceivedRequest(SimResultsMgr::kService, body, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool quiet = [] {
    vantor_fuzz::InstallQuietCollector();
    return true;
  }();
  (void)quiet;
  if (size == 0) return 0;
  // Commands may write snapshot files: only in a folder of the target's.
  static const std::filesystem::path folder =
      std::filesystem::path(vantor_fuzz::ScratchFolder()) / "results_items";
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  const std::filesystem::path before = std::filesystem::current_path();
  if (::chdir(folder.c_str()) != 0) return 0;
  struct Back {
    const std::filesystem::path& to;
    ~Back() {
      if (::chdir(to.c_str()) != 0) std::abort();
    }
  } back{before};
  Problem problem;
  SimResultsMgr manager(&problem);
  vantor_fuzz::ByteStream body(vantor_fuzz::Bytes(data + 1, data + size));
  if (data[0] % 4 == 2) {
    auto request = Received(data + 1, size - 1);
    if (request == nullptr) return 0;
    DseMessage* reply = nullptr;
    DseTemplate* kept = nullptr;
    manager.HandleRequest(SimResultsMgr::kService, request.get(), &reply, &kept);
    delete reply;
    delete kept;
    return 0;
  }
  if (data[0] % 4 == 3) {
    std::vector<std::int32_t> integers;
    std::uint8_t command = 0;
    body.GetUInt8(&command);
    std::uint32_t word = 0;
    while (integers.size() < 8 && status::IsSuccess(body.GetUInt32(&word)))
      integers.push_back(static_cast<std::int32_t>(word));
    const double reals[1] = {0.25};
    const char* strings[2] = {"snapshot.snp", "All"};
    manager.HandleCommand(SimResultsMgr::kService, command, data[0] % 3, strings,
                          static_cast<std::uint32_t>(integers.size()), integers.data(), data[0] % 2,
                          reals);
    return 0;
  }
  if (data[0] % 4 == 0) {
    DseMessage request(55, DseMessage::kIdPathRead);
    SimResultResponse response(request, &manager);
    if (status::IsFailure(response.ReadItems(body, [&body] { return body.Remaining() > 0; })))
      return 0;
    vantor_fuzz::ByteStream kinds;
    response.WriteKinds(kinds);
    for (int fill = 0; fill < 2; ++fill) {
      vantor_fuzz::ByteStream values;
      response.WriteValues(values);
    }
    return 0;
  }
  Status read = status::kOk;
  const BvuIdPath path(body, &read);
  std::uint32_t attribute = 0;
  std::uint16_t code = 0;
  if (status::IsSuccess(read)) read = body.GetUInt32(&attribute);
  if (status::IsSuccess(read)) read = body.GetUInt16(&code);
  SUValue value;
  if (status::IsSuccess(read)) read = value.ReadBinary(body, code);
  if (status::IsFailure(read)) return 0;
  manager.SetItem(55, path, 0, attribute, &value);
  return 0;
}
