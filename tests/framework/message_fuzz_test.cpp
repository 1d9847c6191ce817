// Seeded random bodies for every reader of message bodies: each must answer
// with a status and never read outside the body (the sanitizer tree checks).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "foundation/packed_value.h"
#include "foundation/typed_value.h"
#include "foundation/id_path.h"
#include "framework/message.h"
#include "framework/server_callback.h"
#include "framework/server_registry.h"
#include "framework/template.h"
#include "message_helpers.h"
#include "tests/support/capture_sink.h"

using testsupport::Bytes;
using testsupport::MessagePtr;
using testsupport::Received;
using testsupport::ReceivedBody;

namespace {

constexpr int kRounds = 400;

// Mostly small bodies, some across two segments; biased toward small
// numbers so that lengths and counts are sometimes plausible.
Bytes RandomBody(std::mt19937& random) {
  std::uniform_int_distribution<int> size_of(0, random() % 8 == 0 ? 6000 : 64);
  Bytes body(static_cast<std::size_t>(size_of(random)));
  for (auto& b : body) b = static_cast<std::uint8_t>(random() % 3 == 0 ? random() % 4 : random());
  return body;
}

// A valid body with a few bytes changed.
Bytes Mutated(const Bytes& valid, std::mt19937& random) {
  Bytes body = valid;
  if (body.empty()) return body;
  for (int i = 0; i < 3; ++i) body[random() % body.size()] = static_cast<std::uint8_t>(random());
  if (random() % 4 == 0) body.resize(random() % body.size());
  return body;
}

class Accepting : public DseServerCB {
 public:
  Status HandleCommand(std::uint32_t, std::uint32_t, std::uint32_t string_count, const char* const* strings,
                       std::uint32_t, const std::int32_t*, std::uint32_t, const double*) override {
    return Touch(string_count, strings);
  }
  Status GetItem(std::uint32_t, const BvuIdPath&, std::uint32_t, std::uint32_t, std::uint32_t* code,
                 void** address) override {
    *code = 4;
    *address = &value;
    return 0;
  }
  Status SetItem(std::uint32_t, const BvuIdPath&, std::uint32_t, std::uint32_t, SUValue*) override { return 0; }
  Status HandleIOServerCommand(std::uint32_t, std::uint32_t, std::uint32_t n, const char* const* lines) override {
    return Touch(n, lines);
  }
  // Reads every text handed over, so that the sanitizer sees a bad one.
  Status Touch(std::uint32_t n, const char* const* texts) {
    for (std::uint32_t i = 0; i < n; ++i) touched += texts[i] != nullptr ? std::strlen(texts[i]) : 0;
    return 0;
  }
  std::size_t touched = 0;
  std::uint32_t value = 1;
};

TEST(MessageFuzzTest, StreamReadersStayInsideRandomBodies) {
  std::mt19937 random(20240611);
  for (int round = 0; round < kRounds; ++round) {
    MessagePtr in = ReceivedBody(RandomBody(random));
    for (int step = 0; step < 64; ++step) {
      std::uint64_t out[2] = {};
      char buffer[40];
      char* text = nullptr;
      Status read = 0;
      switch (random() % 11) {
        case 0: read = in->GetUInt8(reinterpret_cast<std::uint8_t*>(out)); break;
        case 1: read = in->GetByteAsUInt32(reinterpret_cast<std::uint32_t*>(out)); break;
        case 2: read = in->GetUInt16(reinterpret_cast<std::uint16_t*>(out)); break;
        case 3: read = in->GetUInt24(reinterpret_cast<std::uint32_t*>(out)); break;
        case 4: read = in->GetUInt32(reinterpret_cast<std::uint32_t*>(out)); break;
        case 5: read = in->GetUInt64(out); break;
        case 6: read = in->GetFloatAsDouble(reinterpret_cast<double*>(out)); break;
        case 7: read = random() % 2 ? in->TryGet4(out) : in->TryGet8(out); break;
        case 8:
        case 9:
          read = random() % 2 ? in->GetStringInto(buffer, sizeof buffer) : in->GetShortStringInto(buffer, sizeof buffer);
          ASSERT_NE(std::memchr(buffer, 0, sizeof buffer), nullptr);
          break;
        default: {
          read = random() % 2 ? in->GetStringNew(&text) : in->GetShortStringNew(&text);
          const std::unique_ptr<char[]> owned(text);
          if (text != nullptr) {
            ASSERT_LT(std::strlen(text), read);
          }
        }
      }
      if (status::IsFailure(read) && in->RemainingBytes() == 0) break;
    }
  }
}

TEST(MessageFuzzTest, RegistryRefusesGarbageWithAStatus) {
  std::mt19937 random(77);
  testsupport::CaptureSink sink;  // refusals are reported
  DseServerRegistry registry;
  Accepting server;
  registry.Register(60, &server);
  registry.Register(4, &server);

  const char* strings[] = {"one", "two"};
  const std::int32_t integers[] = {1, 2, 3};
  const double reals[] = {0.5};
  DseCommand command(60, 9, 2, strings, 3, integers, 1, reals);
  const Bytes valid_command = testsupport::BodyOf(command);
  const char* lines[] = {"a line", "another"};
  std::unique_ptr<DseMessage> event(DseMessage::MakeEvent(16, 1, 2, lines));
  const Bytes valid_event = testsupport::BodyOf(*event);

  for (int round = 0; round < kRounds; ++round) {
    const bool mutate = round % 2 == 0;
    MessagePtr cmd = ReceivedBody(mutate ? Mutated(valid_command, random) : RandomBody(random), 60,
                                  DseMessage::kCommand);
    registry.ExecuteCommand(cmd.get());

    for (std::uint32_t subtype : {DseMessage::kIdPathRead, DseMessage::kIdPathWrite}) {
      MessagePtr path = ReceivedBody(RandomBody(random), 60, subtype, random() % 2);
      DseTemplate* kept = nullptr;
      const Status result = registry.ExecuteIdPathRequest(path.get(), &kept);
      if (kept != nullptr) {
        EXPECT_TRUE(status::IsSuccess(result));
        DseMessage* reply = nullptr;
        kept->BuildHeader(&reply);
        delete reply;
        kept->Fill(&reply);
        delete reply;
        delete kept;
      }
    }

    MessagePtr io = ReceivedBody(mutate ? Mutated(valid_event, random) : RandomBody(random), 4, 16);
    registry.ExecuteIOServerCommand(io.get(), 16);
  }
  EXPECT_GT(server.touched, 0u);
}

TEST(MessageFuzzTest, ValueAndRecordReadersRefuseGarbage) {
  std::mt19937 random(4242);
  const std::uint16_t codes[] = {2, 3, 4, 5, 6, 7, 8, 10, 13, 40, 42, 45, 9, 0x104};
  for (int round = 0; round < kRounds; ++round) {
    MessagePtr in = ReceivedBody(RandomBody(random));
    while (in->RemainingBytes() > 0) {
      SUValue value;
      const Status read = value.ReadBinary(*in, codes[random() % std::size(codes)]);
      EXPECT_EQ(status::IsFailure(read), value.status == SUValue::kUnreadable);
      if (status::IsFailure(read)) break;
    }
    MessagePtr records = ReceivedBody(RandomBody(random));
    SUPackedValueTable table;
    table.Restore(*records);
    for (std::int32_t i = 0; i < table.Count(); ++i) {
      SUValue value;
      table.Record(i).ToValue(&value, table.Pool());
    }
  }
}

}  // namespace
