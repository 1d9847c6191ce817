#include "daes/procedures/proc_def.h"

#include <cfenv>
#include <cstdio>
#include <exception>

#include "foundation/interfaces/current_objects.h"
#include "foundation/messages/su_print.h"
#include "framework/libraries/library_api.h"
#include "framework/libraries/qln_dynamic_library.h"
#include "framework/runtime/cqln_exception.h"
#include "platform/exception_codes.h"
#include "platform/fault_guard.h"
#include "platform/registry.h"

namespace {

constexpr int kTrapped = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;
constexpr const char* kOldKinds = "DIDIIIIIDIDIII";
constexpr const char* kNewKinds = "IDIDIIIIDIIIIIDI";

std::int32_t g_debug_call_setting = 0;

struct CallFrame {
  void* entry;
  ProcCallArguments* a;
  bool new_interface;
};

// The one frame between the guard and user code: plain C, so a fault's
// jump back skips no destructor.
extern "C" void ProcCallTrampoline(void* context) {
  const CallFrame* f = static_cast<const CallFrame*>(context);
  ProcCallArguments& a = *f->a;
  if (f->new_interface) {
    reinterpret_cast<ProcNewEntry>(f->entry)(
        a.task, a.inputs, a.input_sizes, a.outputs, a.output_sizes, a.input_offsets,
        a.output_offsets, a.properties_id, a.work, a.work_length, a.output_count, a.input_count,
        a.pattern_count, a.pattern_pairs, a.pattern_values, a.fail_code);
  } else {
    reinterpret_cast<ProcOldEntry>(f->entry)(a.inputs, a.input_sizes, a.outputs, a.output_sizes,
                                             a.input_offsets, a.output_offsets, a.fail_code,
                                             a.properties_id, a.work, a.work_length, a.derivatives,
                                             a.output_count, a.input_count, a.task);
  }
}

void PrintToStdout(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

DAESProcDefLibrary* g_proc_def_library = nullptr;

}  // namespace

namespace daes {
DAESProcDefLibrary* ProcDefLibrary() { return g_proc_def_library; }
void SetProcDefLibrary(DAESProcDefLibrary* library) { g_proc_def_library = library; }
std::int32_t DebugCallSetting() { return g_debug_call_setting; }
void SetDebugCallSetting(std::int32_t setting) { g_debug_call_setting = setting; }

std::int32_t DebugPropertyCalls(bool forget) {
  static std::int32_t answer = -1;
  if (forget) answer = -1;
  if (answer >= 0) return answer;
  answer = 0;
  platform::HKEY key = nullptr;
  if (platform::RegOpenKeyExA(platform::HKEY_LOCAL_MACHINE,
                              "SOFTWARE\\Brunvald\\QVSystem\\38.0\\Customization", 0,
                              platform::KEY_READ, &key) == platform::ERROR_SUCCESS) {
    std::uint32_t value = 0, size = sizeof value, type = 0;
    if (platform::RegQueryValueExA(key, "DebugPropertyCalls", nullptr, &type,
                                   reinterpret_cast<std::uint8_t*>(&value),
                                   &size) == platform::ERROR_SUCCESS &&
        type == platform::REG_DWORD && value != 0) {
      answer = 1;
    }
    platform::RegCloseKey(key);
  }
  return answer;
}

std::string ProcExceptionText(std::uint32_t code) {
  namespace ex = platform::exception;
  const char* suffix = "";
  switch (code) {
    case ex::kAccessViolation:
      suffix = " - access violation";
      break;
    case ex::kFloatDivideByZero:
      suffix = " - floating point divide by zero";
      break;
    case ex::kFloatInvalidOperation:
      suffix = " - floating point invalid operation";
      break;
    case ex::kFloatOverflow:
      suffix = " - floating point overflow";
      break;
    case ex::kIntegerDivideByZero:
      suffix = " - integer divide by zero";
      break;
    default:
      break;
  }
  char text[512];
  std::snprintf(text, sizeof text, "An exception (code 0x%x%s) occurred", code, suffix);
  return text;
}
}  // namespace daes

std::vector<std::uint8_t> QLNProcDef::ArgumentDescriptions(bool outputs) const {
  const std::int32_t count = outputs ? OutputCount() : InputCount();
  std::vector<std::uint8_t> bytes;
  bytes.reserve(2 * static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    const std::uint16_t d = outputs ? OutputDescriptor(i) : InputDescriptor(i);
    bytes.push_back(static_cast<std::uint8_t>(d & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(d >> 8));
  }
  return bytes;
}

DAESProcDef::~DAESProcDef() { delete function_; }

const char* DAESProcDef::DisplayName() const {
  return has_display_name_ ? display_name_.c_str() : nullptr;
}

void DAESProcDef::SetDisplayName(const char* name) {
  has_display_name_ = name != nullptr;
  display_name_ = name != nullptr ? name : "";
}

void DAESProcDef::ReadFromMessage(const SUProcDef& d) {
  SetSourceFile(d.HasSource() ? d.PlainSource().c_str() : nullptr, false);
  SetLibrary(d.Library().empty() ? nullptr : d.Library().c_str());
  if (const char* name = d.DisplayName()) SetDisplayName(name);
  SetImplementationName(d.ImplementationName().c_str());
  SetLanguage(d.Language());
  SetOptions(d.Options());
  SetInterfaceVersion(d.InterfaceVersion());
  delete function_;
  function_ = nullptr;
  status_ = procstatus::kNotLoaded;
}

std::string DAESProcDef::EntryName() const {
  std::string name;
  if (Language() == procdef::kLanguageFortran)
    name = InterfaceVersion() >= 3 ? "QLN13_" : "SU55IF_";
  return name + ImplementationName();
}

std::string DAESProcDef::LibraryFile() const {
  if (function_ == nullptr || function_->Library() == nullptr) return std::string();
  return function_->Library()->ModulePath();
}

Status DAESProcDef::LoadProcedure() {
  if (!status::IsFailure(status_)) return status_;
  const std::string entry = EntryName();
  Status result = 0;
  delete function_;
  function_ = QLNDynamicLibrary::FindInNamedLibrary(entry.c_str(), Library().c_str(), nullptr,
                                                    InterfaceVersion() >= 3 ? kNewKinds : kOldKinds,
                                                    &result);
  if (function_ == nullptr && !status::IsFailure(result)) result = procstatus::kNotFound;
  if (status::IsFailure(result)) {
    delete function_;
    function_ = nullptr;
    const Status shown = IsErrorReportingOn() != 0 ? result : 0;
    const char* library = Library().empty() ? "<unnamed>" : Library().c_str();
    switch (result & 0xA000FFFFu) {
      case status::kModuleNotFound:
        SuPrint(shown, "Failed to find dynamic link library %s (or a DLL used by it)", library);
        break;
      case status::kSymbolMissing:
        SuPrint(shown, "Failed to find procedure %s in dynamic link library %s", entry.c_str(),
                library);
        break;
      default:
        SuPrint(shown, "Failed to load dynamic link library %s", library);
        break;
    }
  }
  status_ = result;
  return result;
}

void* DAESProcDef::EntryAddress(bool new_interface) const {
  return new_interface ? GetQLN13FunctionAddress(function_) : GetQLNFunctionAddress(function_);
}

Status DAESProcDef::CallDirect(ProcCallArguments& a, bool new_interface) {
  const int enabled = fegetexcept();
  feclearexcept(FE_ALL_EXCEPT);
  feenableexcept(kTrapped);
  const Status load = LoadProcedure();
  CallFrame frame{EntryAddress(new_interface), &a, new_interface};
  ProcCallTrampoline(&frame);
  fedisableexcept(kTrapped & ~enabled);
  feenableexcept(enabled & kTrapped);
  return load;
}

Status DAESProcDef::CallOldInterface(ProcCallArguments& a) { return CallDirect(a, false); }
Status DAESProcDef::CallNewInterface(ProcCallArguments& a) { return CallDirect(a, true); }

Status DAESProcDefWithExceptionHandler::CallOldInterface(ProcCallArguments& a) {
  return debug_ != 0 ? CallDirect(a, false) : CallGuarded(a, false);
}

Status DAESProcDefWithExceptionHandler::CallNewInterface(ProcCallArguments& a) {
  return debug_ != 0 ? CallDirect(a, true) : CallGuarded(a, true);
}

Status DAESProcDefWithExceptionHandler::CallGuarded(ProcCallArguments& a, bool new_interface) {
  std::fenv_t saved;
  fegetenv(&saved);
  feclearexcept(FE_ALL_EXCEPT);
  fedisableexcept(kTrapped);  // faults set flags instead of trapping
  const char* name = DisplayName() != nullptr ? DisplayName() : ImplementationName().c_str();
  Status result = 0;
  std::uint32_t code = 0;
  try {
    result = LoadProcedure();
    CallFrame frame{EntryAddress(new_interface), &a, new_interface};
    platform::Fault fault;
    code = platform::RunGuardedCall(&ProcCallTrampoline, &frame, &fault);
  } catch (const CQLNException& e) {
    PrintToStdout("Caught CQLNException in procedure (thrown from QLN_THROWEXCEPTION!)");
    SuPrint(e.Code(), "%s", e.Text());
    if (a.fail_code != nullptr) *a.fail_code = 5;
    fesetenv(&saved);
    return procstatus::kCallFailed;
  } catch (...) {
    const std::string library = LibraryFile();
    SuPrint(procstatus::kCallFailed, "Unidentified exception in user procedure %s,\nloaded from %s",
            name, library.c_str());
    if (a.fail_code != nullptr) *a.fail_code = 5;
    fesetenv(&saved);
    return procstatus::kCallFailed;
  }
  const std::string library = LibraryFile();
  if (code != 0) {
    if (code == platform::exception::kIntegerDivideByZero) {
      PrintToStdout(std::string("Integer divide by zero in user procedure ") + name +
                    ",\nloaded from " + library);
      SuPrint(0, "Integer divide by zero in user procedure %s,\nloaded from %s", name,
              library.c_str());
      if (a.fail_code != nullptr) *a.fail_code = 3;
    } else {
      const std::string text = daes::ProcExceptionText(code);
      SuPrint(procstatus::kCallFailed, "%s in user procedure %s,\nloaded from %s", text.c_str(),
              name, library.c_str());
      if (a.fail_code != nullptr) *a.fail_code = 5;
    }
    fesetenv(&saved);
    return procstatus::kCallFailed;
  }
  const int raised = fetestexcept(kTrapped);
  feclearexcept(FE_ALL_EXCEPT);
  if (raised != 0) {
    if (a.fail_code != nullptr && *a.fail_code < 3) *a.fail_code = 3;
    if ((raised & FE_DIVBYZERO) != 0) {
      PrintToStdout(std::string("Floating point division by zero occured in user procedure ") +
                    name + ",\nloaded from " + library);
      SuPrint(0, "Floating point division by zero occured in user procedure %s,\nloaded from %s",
              name, library.c_str());
    } else if ((raised & FE_OVERFLOW) != 0) {
      PrintToStdout(std::string("Floating point overflow occured in user procedure ") + name +
                    ",\nloaded from " + library);
      SuPrint(0, "Floating point overflow occured in user procedure %s,\nloaded from %s", name,
              library.c_str());
    } else {
      PrintToStdout(std::string("An invalid floating point operation occured in user procedure ") +
                    name + ",\nloaded from " + library);
      SuPrint(0,
              new_interface
                  ? "An invalid floating point operation occured in user procedure %s,\nloaded "
                    "from %s"
                  : "An invalid floating point operation in user procedure %s,\nloaded from %s",
              name, library.c_str());
    }
  }
  fesetenv(&saved);
  return result;
}

Status DAESProcDefWithExceptionHandler::ReadFromMessage(BvuBinaryStream& message) {
  const Status read = ReadDefinition(message);
  status_ = procstatus::kNotFound;
  debug_ = 0;
  if (daes::DebugCallSetting() != 0) {
    debug_ = (Options() & 0x100) == 0 ? 1 : daes::DebugPropertyCalls();
  }
  return read;
}

DAESProcDefWithExceptionHandler* DAESCreateProcDef(BvuBinaryStream& message, Status* status) {
  auto* d = new DAESProcDefWithExceptionHandler;
  const Status read = d->ReadFromMessage(message);
  if (status != nullptr) *status = read;
  if (status::IsFailure(read)) {
    delete d;
    return nullptr;
  }
  return d;
}
