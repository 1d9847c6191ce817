#include "platform/com.h"
#include "platform/system_message.h"
#include "platform/utf16.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include <dlfcn.h>

#include "tests/platform/test_calculator.h"
#include "tests/support/registry_file.h"

namespace {

using namespace platform;
using testserver::ITestCalculator;

constexpr IID kStrangerInterface = MakeGuid("{5A1D3E40-7C44-4F0B-9E61-2B8D0C4A7F13}");

std::string Registration() {
  std::string text;
  const auto add = [&](const std::string& prog_id, const std::string& clsid, const char* library) {
    text += "[HKEY_CLASSES_ROOT\\" + prog_id + "\\CLSID]\n@ = " + clsid + "\n";
    if (library == nullptr) return;
    text += "[HKEY_CLASSES_ROOT\\CLSID\\" + clsid + "\\InprocServer32]\n@ = " + library +
            "\nThreadingModel = Both\n";
  };
  std::string lower = GuidText(testserver::kCalculatorClass);  // either case is read
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  add("Vantor.TestCalculator.38.0", lower, VANTOR_TEST_COM_SERVER);
  add("Vantor.Unserved", GuidText(testserver::kUnservedClass), VANTOR_TEST_COM_SERVER);
  add("Vantor.Unregistered", "{5A1D3E2F-7C44-4F0B-9E61-2B8D0C4A7F13}", nullptr);
  add("Vantor.Missing", "{5A1D3E30-7C44-4F0B-9E61-2B8D0C4A7F13}", "/nonexistent/libnothing.so");
  add("Vantor.NoEntry", "{5A1D3E31-7C44-4F0B-9E61-2B8D0C4A7F13}", "libm.so.6");
  add("Vantor.BadClass", "{5A1D3E31-7C44}", nullptr);
  return text + "[HKEY_CLASSES_ROOT\\Vantor.NoClass]\nCLSID = is a value, not a key\n";
}

// Objects of the server still alive, factories included.
std::int32_t LiveServerObjects() {
  void* library = dlopen(VANTOR_TEST_COM_SERVER, RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) return 0;
  const auto live =
      reinterpret_cast<testserver::LiveObjectsFunction>(dlsym(library, "TestServerLiveObjects"));
  dlclose(library);
  return live != nullptr ? live() : -1;
}

class Com : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }
  void TearDown() override {
    CoUninitialize();
    EXPECT_EQ(LiveServerObjects(), 0);
  }

  // The class of a ProgID, then a new object of it.
  Status Create(const char16_t* prog_id, std::uint32_t context, const IID& iid, void** object) {
    CLSID clsid{};
    const Status found = CLSIDFromProgID(prog_id, &clsid);
    if (found != S_OK) return found;
    return CoCreateInstance(clsid, nullptr, context, iid, object);
  }

  testsupport::RegistryFile registry_{Registration()};
};

TEST_F(Com, CreatesAndCallsAnObjectOfARegisteredServer) {
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"vantor.testcalculator.38.0", &clsid), S_OK);
  EXPECT_EQ(clsid, testserver::kCalculatorClass);

  void* object = nullptr;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, testserver::kCalculatorInterface, &object),
            S_OK);
  auto* calculator = static_cast<ITestCalculator*>(object);
  std::int32_t sum = 0;
  EXPECT_EQ(calculator->Add(40, 2, &sum), S_OK);
  EXPECT_EQ(sum, 42);

  OLECHAR* name = nullptr;
  ASSERT_EQ(calculator->Name(&name), S_OK);
  EXPECT_EQ(Utf8FromUtf16(name), "Rechner \u00B5");
  CoTaskMemFree(name);

  void* unknown = nullptr;
  ASSERT_EQ(calculator->QueryInterface(IID_IUnknown, &unknown), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 1u);
  EXPECT_EQ(LiveServerObjects(), 1);  // the factory is gone, the object stays
  EXPECT_EQ(calculator->Release(), 0u);
}

TEST_F(Com, RefusalsNameTheirCause) {
  struct Case {
    const char16_t* prog_id;
    std::uint32_t context;
    Status expected;
  };
  const Case cases[] = {
      {u"Vantor.Nobody", CLSCTX_ALL, CO_E_CLASSSTRING},
      {u"Vantor.NoClass", CLSCTX_ALL, CO_E_CLASSSTRING},
      {u"CLSID\\{5A1D3E30-7C44-4F0B-9E61-2B8D0C4A7F13}", CLSCTX_ALL, CO_E_CLASSSTRING},
      {u"Vantor.Unregistered", CLSCTX_ALL, REGDB_E_CLASSNOTREG},
      {u"Vantor.TestCalculator.38.0", CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
       REGDB_E_CLASSNOTREG},
      {u"Vantor.Missing", CLSCTX_ALL, CO_E_DLLNOTFOUND},
      {u"Vantor.NoEntry", CLSCTX_ALL, CO_E_ERRORINDLL},
      {u"Vantor.Unserved", CLSCTX_INPROC_SERVER, CLASS_E_CLASSNOTAVAILABLE},
  };
  for (const Case& c : cases) {
    void* object = this;
    EXPECT_EQ(Create(c.prog_id, c.context, IID_IUnknown, &object), c.expected)
        << Utf8FromUtf16(c.prog_id);
    if (c.expected != CO_E_CLASSSTRING) {
      EXPECT_EQ(object, nullptr);
    }
  }
  void* object = this;
  EXPECT_EQ(Create(u"Vantor.TestCalculator.38.0", CLSCTX_ALL, kStrangerInterface, &object),
            E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(
      CoCreateInstance(testserver::kCalculatorClass, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr),
      E_POINTER);
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
}

TEST(ComJoin, CountsPerThreadAndKeepsTheFirstModel) {
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);  // not counted
  EXPECT_EQ(CoInitializeEx(nullptr, 0x40), E_INVALIDARG);
  int reserved = 0;
  EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), E_INVALIDARG);

  // Another thread starts uncounted, with a model of its own.
  Status other = E_FAIL;
  std::thread([&] {
    other = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoUninitialize();
  }).join();
  EXPECT_EQ(other, S_OK);

  void* object = nullptr;
  CoUninitialize();
  EXPECT_NE(
      CoCreateInstance(testserver::kCalculatorClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
      CO_E_NOTINITIALIZED);  // one join is left
  CoUninitialize();
  EXPECT_EQ(
      CoCreateInstance(testserver::kCalculatorClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
      CO_E_NOTINITIALIZED);
  CoUninitialize();  // one too many does nothing
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  CoUninitialize();
}

TEST(SystemMessage, KnownStatusesErrnoAndTheRest) {
  EXPECT_EQ(SystemMessageText(REGDB_E_CLASSNOTREG), "Class not registered");
  EXPECT_EQ(SystemMessageText(ENOENT), std::strerror(ENOENT));
  EXPECT_EQ(SystemMessageText(0x80041234u), "Unknown error 0x80041234");

  // The engine's way: a 128-byte buffer.
  char buffer[128];
  const std::uint32_t flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  EXPECT_EQ(FormatMessageA(flags, nullptr, E_FAIL, 0, buffer, sizeof buffer, nullptr),
            std::strlen("Unspecified error"));
  EXPECT_STREQ(buffer, "Unspecified error");

  // Too small: failure, but still a terminated text.
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(FormatMessageA(flags, nullptr, E_FAIL, 0, buffer, 5, nullptr), 0u);
  EXPECT_STREQ(buffer, "Unsp");
  EXPECT_EQ(
      FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "text", 0, 0, buffer, sizeof buffer, nullptr), 0u);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(FormatMessageA(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, E_FAIL, 0, buffer,
                           sizeof buffer, nullptr),
            0u);
}

}  // namespace
