// The head of a reply that sends a snapshot: the reply kind, the snapshot's
// id, name, description, date and time, and where in the run it was taken.
#pragma once

#include <cstdint>

#include "platform/status.h"

class BvuBinaryStream;
class SputSnapshotMgr;
struct RunPosition;

Status WriteSnapshotHead(const SputSnapshotMgr& store, std::uint32_t id, const RunPosition& at,
                         std::uint16_t kind, BvuBinaryStream& reply);
