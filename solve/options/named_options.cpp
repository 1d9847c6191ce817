// Named options of the open solver framework: "solver.option" entries with a
// typed value and their own client lists.
#include <cstdio>
#include <cstring>
#include <memory>

#include "solve/options/option_lists.h"
#include "solve/options/options_client.h"
#include "solve/options/solver_option_table.h"

namespace {

constexpr Status kNoMemory = 0x80000007u;
constexpr std::size_t kLongestName = 255;

// An option name with a point is a full name already; both the registration
// and the setter go by this rule, so that a value set reaches the clients
// registered for it.
std::string FullName(const char* solver, const char* option) {
  if (option == nullptr) option = "";
  if (std::strchr(option, '.') != nullptr) return std::string(option).substr(0, kLongestName);
  char name[kLongestName + 1];
  std::snprintf(name, sizeof name, "%s.%s", solver != nullptr ? solver : "", option);
  return name;
}

void Replace(SUValue& target, const SUValue& value) {
  SUValue fresh(value);
  std::destroy_at(&target);
  std::construct_at(&target, std::move(fresh));
}

}  // namespace

SolverOptionTable::NamedOption* SolverOptionTable::FindNamed(const std::string& name) {
  for (NamedOption& option : named_) {
    if (SUValue::CompareCI(option.name.c_str(), name.c_str()) == 0) return &option;
  }
  return nullptr;
}

const SolverOptionTable::NamedOption* SolverOptionTable::FindNamed(const char* name) const {
  for (const NamedOption& option : named_) {
    if (SUValue::CompareCI(option.name.c_str(), name) == 0) return &option;
  }
  return nullptr;
}

SolverOptionTable::NamedOption* SolverOptionTable::FindOrAddNamed(const std::string& name,
                                                                  const SUValue& initial) {
  if (NamedOption* known = FindNamed(name)) return known;
  NamedOption added{name, SUValue(initial), {}};
  ReserveFirstRoom(added.clients);
  if (!AppendGrowing(named_, std::move(added))) return nullptr;
  return &named_.back();
}

Status SolverOptionTable::RegisterNamedClient(std::uint32_t id, const char* solver,
                                              const char* option, const SUValue& default_value,
                                              QLNOptionsClient* client) {
  if (client == nullptr) return status::kBadArguments;
  NamedOption* entry = FindOrAddNamed(FullName(solver, option), default_value);
  if (entry == nullptr || !AppendGrowing(entry->clients, ClientEntry{client, id})) return kNoMemory;
  const SUValue copy(entry->value);
  MarkChanged();
  return client->NamedOptionChanged(id, copy);
}

Status SolverOptionTable::SetNamedOption(const char* solver, const char* option,
                                         const SUValue& value) {
  const std::string name = FullName(solver, option);
  NamedOption* entry = FindNamed(name);
  if (entry == nullptr) {
    entry = FindOrAddNamed(name, value);
    if (entry == nullptr) return kNoMemory;
  } else {
    Replace(entry->value, value);
  }
  MarkChanged();
  const ClientList clients = entry->clients;
  for (const ClientEntry& c : clients) c.client->NamedOptionChanged(c.id, value);
  return status::kOk;
}

Status SolverOptionTable::GetNamedOption(const char* full_name, SUValue* value) const {
  if (full_name == nullptr || value == nullptr) return status::kBadArguments;
  const NamedOption* entry = FindNamed(full_name);
  if (entry == nullptr) return status::kGeneralFailure;
  value->Assign(entry->value);
  return status::kOk;
}
