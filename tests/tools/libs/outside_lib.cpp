// A library of the kinds the engine loads at run time for its client (an
// open NLA solver, the OLL interface library, a user procedure library),
// for the road tests. Its start-up keeps the block the engine hands it and
// says what it finds there through the block's message collector, and so
// does every later call: the client sees the library's work as event
// lines. Built once per kind (OUTSIDE_ROLE names it), so that each load is
// a first load.
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "foundation/interfaces/problem_manager_hooks.h"
#include "foundation/messages/messages_handler.h"
#include "framework/libraries/library_api.h"

#ifndef OUTSIDE_ROLE
#define OUTSIDE_ROLE "outside"
#endif

namespace {

// The engine's block lives as long as the engine.
const QLNInitializationBlock* g_block = nullptr;
std::int32_t g_next_index = 7;

void Say(const std::ostringstream& text) {
  if (g_block == nullptr) return;
  auto* collector = reinterpret_cast<QLNMessagesHandler*>(g_block->word);
  const std::string line = OUTSIDE_ROLE ": " + text.str();
  collector->AddText(line.c_str());
  collector->EndGroup(0);
}

const char* Nested(void* context) {
  if (context == nullptr) return "none";
  return static_cast<ProblemManagerHooks*>(context)->IsNestedMode() ? "nested" : "not nested";
}

template <typename T>
void List(std::ostringstream& out, std::int32_t n, const std::int32_t* ids, const T* values) {
  for (std::int32_t i = 0; i < n; ++i) out << (i != 0 ? "," : "") << ids[i] << "=" << values[i];
}

}  // namespace

extern "C" {

// Keeps a filled block (kind 3) and tells what its collector, option table
// and problem manager answer: the print level (request 20) and the working
// folder (request 43).
std::int32_t BVInitialize(const QLNInitializationBlock* block) {
  if (block == nullptr || block->kind != 3 || block->word == 0 ||
      block->options_handler == nullptr || block->further_word == 0) {
    return 0;
  }
  g_block = block;
  std::int32_t level = 0;
  double real = 0.0;
  const char* text = nullptr;
  const std::int32_t kind = block->options_handler->OptionRequest(20, &level, &real, &text);
  std::int32_t unused = 0;
  const char* folder = nullptr;
  block->options_handler->OptionRequest(43, &unused, &real, &folder);
  std::ostringstream line;
  line << "BVInitialize kind 3, PrintLevel " << level << " (answer " << kind << "), folder "
       << (folder != nullptr ? folder : "none") << ", "
       << Nested(reinterpret_cast<void*>(block->further_word));
  Say(line);
  return 1;
}

// Not an NLA solver after all: the engine says so and goes on.
void* GetFactoryNLASystem() { return nullptr; }

// A user procedure of the outside-procedure action.
std::int32_t OutsideProc(std::int32_t event, double time, std::int32_t na, std::int64_t* a,
                         std::int32_t nb, std::int64_t* b, void* context) {
  bool handles = true;
  for (std::int32_t i = 0; i < na; ++i) handles = handles && a[i] != 0;
  for (std::int32_t i = 0; i < nb; ++i) handles = handles && b[i] != 0;
  std::ostringstream line;
  line << "event " << event << " t=" << time << " A=" << na << " B=" << nb
       << (handles ? " handles, " : " missing handles, ") << Nested(context);
  Say(line);
  return 1;
}

// The OLL interface library's entry points.
std::int32_t OLLConnectToServer(const char* name, std::int32_t c, void* context) {
  std::ostringstream line;
  line << "Connect(" << name << "," << c << "," << Nested(context) << ")";
  Say(line);
  return 0;
}

std::int32_t OLLSetParameters(std::int32_t n, const std::int32_t* ids, const std::int32_t* values) {
  std::ostringstream line;
  line << "SetParameters(";
  List(line, n, ids, values);
  line << ")";
  Say(line);
  return 0;
}

std::int32_t OLLCreateGroup(const char* name, std::int32_t m, const std::int64_t* handles,
                            const char** tags, std::int32_t g1, std::int32_t v, std::int32_t g2,
                            std::int32_t f, std::int32_t* results) {
  std::ostringstream line;
  line << "CreateGroup(" << name << ",{";
  for (std::int32_t i = 0; i < m; ++i) {
    line << (i != 0 ? "," : "") << (handles[i] != 0 ? "handle:" : "none:") << tags[i];
    results[i] = 100 + i;
  }
  line << "}," << g1 << "," << v << "," << g2 << "," << f << ")";
  Say(line);
  return 0;
}

std::int32_t OLLSetGroupParameters(const char* name, std::int32_t n, const std::int32_t* ids,
                                   const std::int32_t* values) {
  std::ostringstream line;
  line << "SetGroupParameters(" << name << ",";
  List(line, n, ids, values);
  line << ")";
  Say(line);
  return 0;
}

std::int32_t OLLSetItemParameters(const char* name, std::int32_t item, std::int32_t n,
                                  const std::int32_t* ids, const double* values) {
  std::ostringstream line;
  line << "SetItemParameters(" << name << "," << item << ",";
  List(line, n, ids, values);
  line << ")";
  Say(line);
  return 0;
}

std::int32_t OLLModifyItemTag(const char* name, std::int32_t item, const char* tag) {
  std::ostringstream line;
  line << "ModifyItemTag(" << name << "," << item << "," << tag << ")";
  Say(line);
  return std::strcmp(tag, "bad") != 0;
}

std::int32_t OLLRemoveItem(const char* name, std::int32_t item) {
  std::ostringstream line;
  line << "RemoveItem(" << name << "," << item << ")";
  Say(line);
  return 5;
}

std::int32_t OLLAddItem(const char* name, std::int64_t handle, const char* tag, std::int32_t* two) {
  std::ostringstream line;
  line << "AddItem(" << name << "," << (handle != 0 ? "handle" : "none") << "," << tag
       << ",a=" << two[1] << ")";
  Say(line);
  two[0] = g_next_index++;
  return 0;
}

std::int32_t OLLEnableItem(const char* name, std::int32_t item, std::int32_t a, std::int32_t b) {
  std::ostringstream line;
  line << "EnableItem(" << name << "," << item << "," << a << "," << b << ")";
  Say(line);
  return 0;
}

// Stops a run (answer 3) after its first dynamic step that reaches t = 0.3.
std::int32_t OLLSimulationEvent(std::int32_t event, double time, void* context) {
  std::ostringstream line;
  line << "Event(" << event << "," << time << "," << Nested(context) << ")";
  Say(line);
  return event == 10 && time >= 0.3 - 1e-9 ? 3 : 1;
}

std::int32_t OLLGetUOM(const char*, std::int32_t, const char** uom) {
  static const char kUom[] = "kg/s";
  *uom = kUom;
  return 0;
}

}  // extern "C"
