// The client's reading of the results manager's replies: the kinds and the
// values of a result request (a subtype-7 template on id paths), and the
// reply of request 58 (the newest snapshot of the run restored).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"
#include "tools/client.h"

namespace vantor_client {

// Value kinds of result replies.
inline constexpr std::uint16_t kResultByte = 1;
inline constexpr std::uint16_t kResultWord = 4;
inline constexpr std::uint16_t kResultReal = 24;
inline constexpr std::uint16_t kResultRealAndFlags = 56;
inline constexpr std::uint16_t kResultText = 68;
inline constexpr std::uint16_t kResultTyped = 255;

struct ResultValue {
  std::uint16_t kind = 0;
  double real = 0.0;        // 24, 56
  std::uint32_t word = 0;   // 1, 4
  std::uint32_t flags = 0;  // 56
  std::string text;         // 68
  std::uint16_t type = 0;   // 255: the type code, then its binary form
  Bytes typed;
};

// The first reply: one u16 kind per item. False when the body is cut.
bool DecodeResultKinds(const Bytes& body, std::vector<std::uint16_t>* kinds);
// A fill: the items' values by their kinds. A kind-255 value has no length
// of its own, so it is taken only as the last item. False when the body
// does not hold exactly the values.
bool DecodeResultValues(const Bytes& body, const std::vector<std::uint16_t>& kinds,
                        std::vector<ResultValue>* values);

struct RestoreReply {
  Status status = 0;  // 0x40000048 when nothing was restored
  double time = 0.0;
  std::int32_t count = 0;
  std::string name;
  std::uint32_t date = 0;
  std::uint32_t time_of_day = 0;
};

// Request 58's reply: kind 58, u32 status, f64 time, u32 count, the name,
// date and time of day.
bool DecodeRestoreReply(const Bytes& body, RestoreReply* reply);

// An item of a result request: the path of ids (no names), the attribute
// and the unused word.
void PutResultItem(Request& request, const std::vector<std::uint32_t>& ids,
                   std::uint16_t attribute);

// A set-item of service 55 (subtype 8): the path, the attribute as first
// selector, second selector 0, then a real (type 4, f64).
void PutSetReal(Request& request, const std::vector<std::uint32_t>& ids, std::uint16_t attribute,
                double value);

// Request 26: the plot history records the variables at the paths, with
// the compression tolerance.
void PutPlotVariables(Request& request, double tolerance,
                      const std::vector<std::vector<std::uint32_t>>& paths);
// Request 28 for a time plot of the variables over [start, end].
void PutTimePlot(Request& request, double start, double end,
                 const std::vector<std::vector<std::uint32_t>>& paths);

// What a time-plot report answers: the variables found, then the samples
// of each at first + i x interval. A jump inside the window is kept as
// its time and the values on either side, not as a sample.
struct PlotJump {
  double time = 0.0;
  double before = 0.0;
  double after = 0.0;
};
struct PlotData {
  std::vector<bool> found;  // from the report's header, in request order
  double first = 0.0;
  double last = 0.0;
  double interval = 0.0;
  std::vector<std::vector<double>> samples;  // per found variable
  std::vector<std::vector<PlotJump>> jumps;
};
// The header: the requested count, then u32 24 (found) or 0 per variable.
bool DecodePlotHeader(const Bytes& body, PlotData* data);
// The plot data of a time plot. False when the body is cut or holds more.
bool DecodePlotData(const Bytes& body, PlotData* data);

// Request 28 for a profile at start + i x interval, and for one at the
// times given (in any order).
void PutIntervalProfile(Request& request, double start, double interval,
                        const std::vector<std::vector<std::uint32_t>>& paths);
void PutSpecifiedProfile(Request& request, const std::vector<double>& times,
                         const std::vector<std::vector<std::uint32_t>>& paths);
// What a profile answers: the profile times reached so far (ascending),
// and per found variable its value at each of them.
struct ProfileData {
  std::vector<double> times;
  std::vector<std::vector<double>> values;
};
// False when the body is cut or holds more.
bool DecodeProfileData(const Bytes& body, ProfileData* data);

// A snapshot as the snapshot lists carry it (requests 19, 30 and 138).
struct SnapshotEntry {
  std::uint32_t date = 0;
  std::uint32_t time_of_day = 0;
  double time = 0.0;
  std::uint16_t run = 0;
  std::uint16_t count = 0;
  std::string name;
  std::string description;
  std::uint32_t id = 0;
};
// A snapshot list: u24 count, then each snapshot. With `kind`, the body
// starts with that u16 kind (30 and 138). False when cut or longer.
bool DecodeSnapshotList(const Bytes& body, std::uint16_t kind, std::vector<SnapshotEntry>* list);
// Request 43: u24 count, then the names of the folder's other snapshot files.
bool DecodeFileList(const Bytes& body, std::vector<std::string>* names);
// Requests 33 and 110: the kind, the snapshot's id and header fields; the
// tree and the value table after them are left unread.
bool DecodeSentSnapshot(const Bytes& body, std::uint16_t kind, SnapshotEntry* entry);
// The body of a snapshot import (requests 38 and 116) made from request 33
// replies the client kept: the count, each snapshot's header and values,
// then the variable tree of the first. False when a reply does not read.
bool PutSnapshotImport(Request& request, const std::vector<Bytes>& sent);

// Requests 20 and 146: the staged assignments (names only for 146) and the
// structural parameters that would change, with their new values. Both
// answer kind 20; what follows the staged count depends on the request.
struct UseItem {
  std::uint8_t kind = 0;
  double real = 0.0;
  std::uint16_t type = 0;
  Bytes typed;  // the typed value's binary form (kinds 1, 4, 68, 255)
  std::uint32_t pattern = 0;
  std::uint32_t mask = 0;
  std::string name;
};
struct UseReply {
  std::uint16_t kind = 0;
  std::uint32_t staged = 0;
  std::vector<std::string> staged_names;  // 146
  std::vector<UseItem> items;
};
bool DecodeUseReply(const Bytes& body, std::uint16_t request, UseReply* reply);

}  // namespace vantor_client
