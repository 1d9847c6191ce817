#include "results/manager/snapshot_reply.h"

#include "foundation/persistence/binary_stream.h"
#include "results/snapshots/snapshot_format.h"
#include "results/snapshots/snapshot_mgr.h"

Status WriteSnapshotHead(const SputSnapshotMgr& store, std::uint32_t id, const RunPosition& at,
                         std::uint16_t kind, BvuBinaryStream& reply) {
  const char* name = nullptr;
  const char* description = nullptr;
  std::uint32_t date = 0;
  std::uint32_t time_of_day = 0;
  store.GetSnapshotName(id, &name);
  store.GetSnapshotDescription(id, &description);
  store.GetSnapshotDateTime(id, &date, &time_of_day);
  Status s = reply.PutUInt16(kind);
  if (status::IsSuccess(s)) s = reply.PutUInt32(id);
  if (status::IsSuccess(s)) s = reply.PutString(name != nullptr ? name : "");
  if (status::IsSuccess(s)) s = reply.PutString(description != nullptr ? description : "");
  if (status::IsSuccess(s)) s = reply.PutUInt32(date);
  if (status::IsSuccess(s)) s = reply.PutUInt32(time_of_day);
  if (status::IsSuccess(s)) s = reply.PutDouble(at.time);
  if (status::IsSuccess(s)) s = reply.PutUInt16(at.run);
  if (status::IsSuccess(s)) s = reply.PutUInt16(static_cast<std::uint16_t>(at.count));
  return s;
}
