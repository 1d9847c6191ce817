#include "solve/proxies/sensitivity_transfer.h"

#include <algorithm>

#include "daes/model/var_table_entry.h"
#include "foundation/messages/su_print.h"
#include "solve/ifaces/integrator_server.h"
#include "solve/proxies/sensitivity_calculator.h"

namespace {

constexpr std::uint32_t kSensitivityItem = 0x200;
constexpr std::uint32_t kArrayParameter = 0x200000;
// Far above any model; a count past it is the server's garbage.
constexpr std::int32_t kMaxRows = 1 << 20;

Status Refuse(const char* text) {
  SuPrint(kSensitivityTransferFailed, "%s", text);
  return kSensitivityTransferFailed;
}

Status BuildColumns(SensitivityManagerFace* manager, std::int32_t elements,
                    std::vector<SensitivityColumn>* columns) {
  columns->clear();
  const std::int32_t entries = manager->EntryCount();
  if (entries < 0 || entries > kMaxRows) return Refuse("Sensitivity parameter count out of range");
  for (std::int32_t j = 0; j < entries; ++j) {
    DAESVarTableEntry* p = manager->Entry(j);
    const bool array = p != nullptr && (p->GetFlags() & kArrayParameter) != 0 && elements > 1;
    const std::int32_t n = array ? elements : 1;
    for (std::int32_t c = 0; c < n; ++c) columns->push_back({j, c});
  }
  return 0;
}

}  // namespace

Status TransferServerSensitivities(IUnifiedIntegrator* server, SensitivityManagerFace* manager,
                                   DAESVarTableEntry* const* variables, std::int32_t variable_count,
                                   std::vector<SensitivityColumn>* columns) {
  if (server == nullptr || manager == nullptr || columns == nullptr) {
    return kSensitivityTransferFailed;
  }
  const std::int32_t p = manager->ControlElements();
  const std::int32_t r = manager->SwitchingRowCount();
  const std::int32_t s = manager->MatrixRowCount();
  if (p < 0 || r < 0 || s < 0 || p > kMaxRows || r > kMaxRows || s > kMaxRows ||
      variable_count < 0) {
    return Refuse("Sensitivity row counts out of range");
  }
  const bool extra = r != 0 && manager->FinalTimeRow();
  const std::size_t n = static_cast<std::size_t>(variable_count);

  const std::int32_t arrays = s + r;
  std::vector<std::vector<double>> rows(static_cast<std::size_t>(arrays) + (extra ? 1 : 0),
                                        std::vector<double>(n, 0.0));
  for (std::int32_t k = 0; k < arrays; ++k) {
    const Status got =
        server->GetSensitivityData(rows[static_cast<std::size_t>(k)].data(), 1, 0, k + 1);
    if (status::IsFailure(got)) return got;
  }
  if (extra) {
    const Status got = server->GetSensitivityData(rows.back().data(), 1, 1, 0);
    if (status::IsFailure(got)) return got;
  }

  if (columns->empty()) {
    const Status built = BuildColumns(manager, p, columns);
    if (built != 0) return built;
  }
  if (columns->size() != static_cast<std::size_t>(s)) {
    columns->clear();
    return Refuse("Sensitivity parameter elements do not match the sensitivity rows");
  }

  void* raw = nullptr;
  const Status got = server->GetInterface(IID_ISensitivityItemEnumerator, &raw);
  if (status::IsFailure(got)) return got;
  if (raw == nullptr) return Refuse("Integrator server gave no sensitivity items");
  auto* items = static_cast<ISensitivityItemEnumerator*>(raw);

  Status result = 0;
  SensitivityItem batch[kSensitivityItemBatch];
  std::size_t i = 0;
  const std::int32_t row_values = r - (extra ? 1 : 0);
  while (i < n && result == 0) {
    std::uint32_t fetched = 0;
    const Status next = items->Next(kSensitivityItemBatch, batch, &fetched);
    if (fetched > kSensitivityItemBatch) {
      result = Refuse("Integrator server gave too many sensitivity items");
      break;
    }
    for (std::uint32_t b = 0; b < fetched && i < n; ++b, ++i) {
      if ((batch[b].flags & kSensitivityItem) == 0) continue;
      if (batch[b].position < 0 || static_cast<std::size_t>(batch[b].position) != i) {
        result = Refuse("Sensitivity item out of place");
        break;
      }
      DAESVarTableEntry* v = variables != nullptr ? variables[i] : nullptr;
      if (v == nullptr || (v->GetFlags() & kSensitivityItem) == 0) continue;
      for (std::int32_t k = 0; k < s && result == 0; ++k) {
        const SensitivityColumn& c = (*columns)[static_cast<std::size_t>(k)];
        const Status stored =
            manager->Store(c.entry, v, rows[static_cast<std::size_t>(k)][i], c.component);
        if (status::IsFailure(stored)) result = stored;
      }
      for (std::int32_t k = 0; k < row_values && result == 0; ++k) {
        const Status stored = manager->StoreRow(k, v, rows[static_cast<std::size_t>(s + k)][i]);
        if (status::IsFailure(stored)) result = stored;
      }
      if (extra && result == 0) {
        const Status stored = manager->StoreRow(r - 1, v, rows.back()[i]);
        if (status::IsFailure(stored)) result = stored;
      }
    }
    if (next != 0 || fetched == 0) break;
  }
  items->Release();
  return result;
}
