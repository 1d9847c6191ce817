// The interface of the test COM server, built as a library of its own.
#pragma once

#include <cstdint>

#include "platform/bstr.h"
#include "platform/unknown.h"

namespace testserver {

inline constexpr platform::CLSID kCalculatorClass =
    platform::MakeGuid("{5A1D3E20-7C44-4F0B-9E61-2B8D0C4A7F13}");
// Registered to the server library, which does not serve it.
inline constexpr platform::CLSID kUnservedClass =
    platform::MakeGuid("{5A1D3E21-7C44-4F0B-9E61-2B8D0C4A7F13}");
inline constexpr platform::IID kCalculatorInterface =
    platform::MakeGuid("{5A1D3E22-7C44-4F0B-9E61-2B8D0C4A7F13}");

class ITestCalculator : public platform::IUnknown {
 public:
  virtual Status Add(std::int32_t a, std::int32_t b, std::int32_t* sum) = 0;
  // A UTF-16 text from malloc, for the caller to free with CoTaskMemFree.
  virtual Status Name(platform::OLECHAR** text) = 0;

 protected:
  ~ITestCalculator() = default;
};

// Exported by the server: its objects (factories included) still alive.
using LiveObjectsFunction = std::int32_t (*)();

}  // namespace testserver
