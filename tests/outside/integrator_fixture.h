// The integrator server made through the registry, with the fakes it works
// against released and counted at the end of each test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "tests/outside/server_fakes.h"
#include "tests/support/scoped_env.h"

namespace server_test {

class IntegratorFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_LE(platform::CoInitializeEx(nullptr, 0), 1u);
    platform::CLSID clsid{};
    ASSERT_EQ(platform::CLSIDFromProgID(u"Brunvald.UnifiedIntegrator", &clsid), 0u);
    void* p = nullptr;
    ASSERT_EQ(platform::CoCreateInstance(clsid, nullptr, 23, IID_IUnifiedIntegrator, &p), 0u);
    server_ = static_cast<IUnifiedIntegrator*>(p);
  }
  void TearDown() override {
    if (server_ != nullptr) {
      EXPECT_EQ(server_->Release(), 0u);
    }
    if (group_ != nullptr) group_->Release();
    if (exec_ != nullptr) {
      EXPECT_EQ(exec_->Release(), 0u);
    }
    platform::CoUninitialize();
    EXPECT_EQ(LiveFakes(), 0);
    EXPECT_EQ(ServerLiveObjects("vantor_integrator.so"), 0);
    EXPECT_EQ(ServerLiveObjects("vantor_decomposer.so"), 0);
  }
  std::string Text(Status s) {
    char16_t* text = nullptr;
    if (server_->GetErrorText(s, &text) != 0) return "";
    std::string out;
    for (const char16_t* c = text; *c != 0; ++c) out += static_cast<char>(*c);
    platform::CoTaskMemFree(text);
    return out;
  }

  testsupport::ScopedEnv registry_{"VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY};
  IUnifiedIntegrator* server_ = nullptr;
  FakeProblemGroup* group_ = nullptr;
  FakeExecutive* exec_ = nullptr;
};

}  // namespace server_test
