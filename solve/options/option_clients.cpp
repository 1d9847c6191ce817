// Option clients: registration, the immediate call-back, notification in
// registration order and removal.
#include <algorithm>

#include "solve/options/option_lists.h"
#include "solve/options/options_client.h"
#include "solve/options/solver_option_table.h"

namespace {

constexpr Status kNoMemory = 0x80000007u;

// The numbers whose value a client gets at registration; the staged ones of
// kHandsOutRequested get their requested value.
constexpr bool HandsOutValue(std::int32_t n) {
  if (n >= 129 && n <= 150) return true;
  constexpr std::int32_t kListed[] = {
      0,   1,   2,   8,   9,   10,  11,  12,  13,  17,  20,  21,  25,  29,  30,  31, 32, 33,
      34,  35,  36,  37,  38,  39,  40,  41,  42,  50,  51,  52,  53,  54,  70,  97, 99, 100,
      102, 103, 153, 158, 159, 160, 161, 162, 163, 164, 165, 166, 168, 169, 170, 171};
  return std::find(std::begin(kListed), std::end(kListed), n) != std::end(kListed);
}

constexpr bool HandsOutRequested(std::int32_t n) {
  return n == 21 || n == 25 || n == 29 || n == 38;
}

}  // namespace

QLNOptionsClient::~QLNOptionsClient() {
  if (SolverOptionTable* table = SolverOptionTable::Existing()) table->RemoveClient(this);
}

void SolverOptionTable::Notify(std::int32_t number, const void* value) {
  if (SlotOf(number) == nullptr) return;
  ClientList& live = clients_[static_cast<std::size_t>(number)];
  // A client may register or go while it is being told; tell each entry that
  // is still listed when its turn comes.
  const ClientList turn = live;
  for (const ClientEntry& entry : turn) {
    const bool listed = std::any_of(live.begin(), live.end(),
                                    [&](const ClientEntry& e) { return e.client == entry.client; });
    if (listed) entry.client->OptionChanged(number, value);
  }
}

Status SolverOptionTable::RegisterClient(QLNOptionsClient* client, std::int32_t number) {
  Slot* slot = SlotOf(number);
  if (client == nullptr) return status::kBadArguments;
  if (slot == nullptr) return status::kGeneralFailure;
  if (!AppendGrowing(clients_[static_cast<std::size_t>(number)], ClientEntry{client, 0})) {
    return kNoMemory;
  }
  const void* value = nullptr;
  if (HandsOutValue(number)) {
    const Value& held = HandsOutRequested(number) ? slot->requested : slot->in_force;
    switch (slot->kind) {
      case Kind::kReal:
        value = &held.real;
        break;
      case Kind::kInteger:
        value = &held.integer;
        break;
      case Kind::kFlag:
        value = &held.flag;
        break;
      case Kind::kText:
        value = held.text;
        break;
      default:
        break;
    }
  }
  return client->OptionChanged(number, value);
}

Status SolverOptionTable::RegisterClientForNumbers(QLNOptionsClient* client,
                                                   const std::int32_t* numbers,
                                                   std::int32_t count) {
  if (count < 1) return status::kOk;
  if (numbers == nullptr) return status::kBadArguments;
  SolverOptionTable* table = Instance();
  Status last_failure = status::kOk;
  for (std::int32_t i = 0; i < count; ++i) {
    const Status result = table->RegisterClient(client, numbers[i]);
    if (status::IsFailure(result)) last_failure = result;
  }
  return last_failure;
}

void SolverOptionTable::RemoveClient(QLNOptionsClient* client) {
  auto remove_first = [client](ClientList& list) {
    const auto at = std::find_if(list.begin(), list.end(),
                                 [client](const ClientEntry& e) { return e.client == client; });
    if (at != list.end()) list.erase(at);
  };
  for (ClientList& list : clients_) remove_first(list);
  for (NamedOption& option : named_) remove_first(option.clients);
}
