// Carries the integrator server's sensitivities at the time reached to the
// sensitivity manager: one array per row from the server, one item per
// problem variable from its item enumerator.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/status.h"

class DAESVarTableEntry;
class IUnifiedIntegrator;
class SensitivityManagerFace;

inline constexpr Status kSensitivityTransferFailed = 0x8000022Eu;
// Items are fetched this many at a time.
inline constexpr std::uint32_t kSensitivityItemBatch = 32;

// One parameter element: the manager's entry and its component.
struct SensitivityColumn {
  std::int32_t entry;
  std::int32_t component;
};

// `variables` are the problem's, in order; `columns` is built on first use
// and kept. Bad counts, positions or server answers give a message and a
// failure status; a failing server call gives its own status back.
Status TransferServerSensitivities(IUnifiedIntegrator* server, SensitivityManagerFace* manager,
                                   DAESVarTableEntry* const* variables, std::int32_t variable_count,
                                   std::vector<SensitivityColumn>* columns);
