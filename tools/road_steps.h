// Steps every client road takes in the same shape: the engine started with
// the services a road announces, the simulation named, options and values
// written, the model loaded and prepared, runs begun, and the engine ended
// with its exit code checked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tools/road.h"

namespace vantor_scenario {

inline constexpr std::uint32_t kProblemService = 50;
inline constexpr std::uint32_t kOptionService = 53;
inline constexpr std::uint32_t kResultsService = 55;
inline constexpr std::uint32_t kWriteSubtype = 8;
// The four preparation stages of the run-state bits.
inline constexpr std::uint32_t kPreparedBits = 0x4 | 0x8 | 0x10 | 0x20;
inline constexpr Status kBeginRunDone = 0x0000026Au;
inline constexpr Status kRunEnded = 0x00320049u;
inline constexpr Status kEnding = 0x00320024u;
// Command 141's answer when another engine holds the run folder.
inline constexpr Status kFolderInUse = 0x8032FFFFu;
inline constexpr std::uint16_t kRealType = 24;
inline constexpr std::uint16_t kIntegerCode = 2;
inline constexpr std::uint16_t kRealCode = 4;

// A tree edit of the instance manager; the caller writes what follows the
// kind and the tag.
std::unique_ptr<Request> InstanceEdit(std::uint16_t kind, std::uint16_t tag);
// Creates the instance node and fills it (at root index 2) with the items
// `items` writes.
bool LoadNode(Road& road, const modelwriter::Step& node,
              const std::function<void(modelwriter::Writer&)>& items);
// Command 6, then the notification with the four preparation bits.
bool Prepare(Road& road, const std::string& what);
// A real value by full name (request 145 of the instance manager).
bool SetReal(Road& road, const std::string& name, double value, const std::string& what);
// An integer solver option through service 53.
bool SetOption(Road& road, std::uint16_t number, std::uint32_t value, const std::string& what);
// A real solver option through service 53.
bool SetRealOption(Road& road, std::uint16_t number, double value, const std::string& what);
// Request 31.
bool BeginRun(Road& road, const std::string& what);

// Starts the engine announcing the types a road is sent (event lines,
// results notices, actions, run state, renamed files, snapshot notices,
// value requests and time messages); null with run->failure set when it
// does not start.
std::unique_ptr<Client> StartEngine(const vantor_client::EngineOptions& options,
                                    FirstOrderRun* run);
// Command 141 (refused with "FOLDER/NAME is in use by another engine" when
// another engine holds the run folder), command 3 naming the simulation in
// the folder, then the communication interval (command 32).
// `shown` names the folder in that line (folder when empty).
bool NameSimulation(Road& road, const std::string& name, std::string folder, double interval,
                    const std::string& shown = "");
// Request 134, then command 2.
bool EndEngine(Road& road);
// After a road: waits for an engine told to end, drops the request handler,
// closes the connection and keeps the exit code; a road that went well fails on a non-zero code.
bool FinishEngine(Client& client, Road& road, FirstOrderRun* run, bool ok);

}  // namespace vantor_scenario
