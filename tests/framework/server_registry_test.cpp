#include "framework/servers/server_registry.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "foundation/directory/id_path.h"
#include "foundation/values/typed_value.h"
#include "framework/messaging/message.h"
#include "framework/messaging/template.h"
#include "framework/servers/server_callback.h"
#include "message_helpers.h"
#include "tests/support/capture_sink.h"
#include "tests/support/golden.h"

using namespace testsupport;

namespace {

// The body of an id-path request, item by item.
class Body {
 public:
  explicit Body(double period = -1) {
    if (period >= 0) message_.PutDouble(period);
  }
  Body& Item(std::uint32_t id, std::uint16_t first = 0, std::uint16_t second = 0) {
    message_.PutUInt8(0);
    message_.PutUInt16(3);
    for (std::uint32_t step : {0xFFFFFFu, id, 0xFFFFFEu}) message_.PutUInt24(step);
    message_.PutUInt16(first);
    message_.PutUInt16(second);
    return *this;
  }
  Body& Value(const SUValue& value) {
    value.WriteBinary(message_, true);
    return *this;
  }
  MessagePtr Receive(std::uint32_t subtype, std::uint32_t flags = 0) {
    message_.subtype = subtype;
    message_.flags = flags;
    message_.sequence = 6;
    message_.Pack(true);
    return Received(message_, Peer(1));
  }

 private:
  DseMessage message_{60, DseMessage::kRequest};
};

class ServerRegistryTest : public ::testing::Test {
 protected:
  ServerRegistryTest() { registry_.Register(60, &server_); }

  std::unique_ptr<DseTemplate> Read(DseMessage& request) {
    DseTemplate* kept = nullptr;
    EXPECT_EQ(registry_.ExecuteIdPathRequest(&request, &kept), 0u);
    return std::unique_ptr<DseTemplate>(kept);
  }
  Status Execute(const MessagePtr& request) {
    DseTemplate* kept = nullptr;
    const Status result = registry_.ExecuteIdPathRequest(request.get(), &kept);
    EXPECT_EQ(kept, nullptr);
    return result;
  }
  // Class, subtype, flags, id and sequence.
  static std::vector<std::uint32_t> Header(const DseMessage& m) {
    return {m.message_class, m.subtype, m.flags, m.GetId(), m.sequence};
  }
  static MessagePtr Filled(DseTemplate& response, Status expected = 0) {
    DseMessage* made = nullptr;
    EXPECT_EQ(response.Fill(&made), expected);
    return MessagePtr(made);
  }

  CaptureSink sink_;
  DseServerRegistry registry_;
  ItemServer server_;
};

TEST_F(ServerRegistryTest, RegisteringATypeAgainKeepsItsPlaceWithTheNewCallback) {
  ItemServer other, third;
  registry_.Register(55, &other);
  registry_.Register(60, &third);
  EXPECT_EQ(registry_.FindServer(60), &third);
  EXPECT_EQ(third.registry, &registry_);
  EXPECT_EQ(std::vector<std::uint32_t>(
                {registry_.Types().Count(), registry_.Types().At(0), registry_.Types().At(1)}),
            std::vector<std::uint32_t>({2, 60, 55}));
}

TEST_F(ServerRegistryTest, CommandsAreByteExactAndReachTheServerIntact) {
  const char* strings[] = {"ab", nullptr};
  const std::int32_t integers[] = {1, -2};
  const double reals[] = {1.5};
  DseCommand command(60, 136, 2, strings, 2, integers, 1, reals);
  EXPECT_TRUE(
      SameBytes(HexBytes("88 00 00 00  02 00 00 00 01 00 00 00 FE FF FF FF  01 00 00 00 00 00 C0 3F"
                         "02 00 00 00 03 00 00 61 62 00 00 00 00"),
                BodyOf(command)));
  EXPECT_EQ(registry_.ExecuteCommand(Received(command).get()), 0x00320001u);
  EXPECT_EQ(server_.calls.back(), "60 136|ab|<null>|1|-2|1.500000");
  // Lists of 15 entries live in place, of 16 on the heap.
  for (int n : {15, 16}) {
    std::vector<std::int32_t> many(n);
    std::vector<std::string> texts;
    std::vector<const char*> pointers;
    for (int i = 0; i < n; ++i) many[i] = i * 1000 - 7;
    for (int i = 0; i < n; ++i) texts.push_back(std::string("t").append(std::to_string(i)));
    for (const auto& t : texts) pointers.push_back(t.c_str());
    const std::vector<double> tenths(n, 0.1),
        widened(n, static_cast<double>(0.1f));  // 4-byte floats
    DseCommand large(60, n, n, pointers.data(), n, many.data(), n, tenths.data());
    EXPECT_EQ(registry_.ExecuteCommand(Received(large).get()), 0x00320001u);
    EXPECT_EQ(server_.calls.back(), Joined("60 " + std::to_string(n), n, pointers.data()) +
                                        Joined("", n, many.data()) + Joined("", n, widened.data()));
  }
}

TEST_F(ServerRegistryTest, CommandsWithoutServerOrWithLyingCountsAreRefused) {
  DseCommand command(61, 1, 0, nullptr, 0, nullptr, 0, nullptr);
  EXPECT_EQ(registry_.ExecuteCommand(Received(command).get()), 0xA000FFFFu);
  registry_.Register(61, nullptr);
  EXPECT_EQ(registry_.ExecuteCommand(Received(command).get()), 0x80000028u);
  // 0x40000000 integers, or five strings, announced with eight bytes left.
  for (const char* body : {"01 00 00 00 00 00 00 40 01 00 00 00 02 00 00 00",
                           "01 00 00 00 00 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00 00"}) {
    MessagePtr lying = ReceivedBody(HexBytes(body), 60, DseMessage::kCommand);
    EXPECT_EQ(registry_.ExecuteCommand(lying.get()), status::kBadArguments);
  }
  EXPECT_TRUE(server_.calls.empty());
  ASSERT_EQ(sink_.groups().size(), 2u);
  EXPECT_EQ(sink_.groups()[0].status, status::kBadArguments);
  EXPECT_EQ(sink_.groups()[0].lines[0],
            "Message of type 60 subtype 11 refused: a count larger than the message");
}

// The bytes of header and values replies are the client tests'.
TEST_F(ServerRegistryTest, IdPathReadRepliesFollowTheValuesUntilAnItemHasGoneOrChangedItsType) {
  std::uint32_t count = 42;
  double level = 2.5;
  server_.items = {{10, {4, &count}}, {11, {24, &level}}};
  MessagePtr request = Body(1.0).Item(10, 1, 2).Item(11, 1, 3).Receive(7, 1);
  auto response = Read(*request);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->period, 1.0);
  DseMessage* made = nullptr;
  ASSERT_EQ(response->BuildHeader(&made), 0u);
  MessagePtr header(made);
  EXPECT_EQ(Header(*header), (std::vector<std::uint32_t>{1, 7, 0xC0, request->GetId(), 7}));
  EXPECT_EQ(header->SourcePeer(), Peer(1));
  EXPECT_EQ(Header(*Filled(*response)),
            (std::vector<std::uint32_t>{3, 7, 0x80, request->GetId(), 7}));
  // A later round looks the items up again and sends their values then.
  const int lookups = server_.lookups;
  count = 43;
  EXPECT_EQ(BodyOf(*Filled(*response))[0], 43);
  EXPECT_EQ(server_.lookups, lookups + 2);
  server_.items.clear();  // the model objects were destroyed
  EXPECT_EQ(Filled(*response, 0x8000FFFF), nullptr);
  server_.items = {{10, {24, &level}}, {11, {24, &level}}};
  EXPECT_EQ(Filled(*response, 0xA000FFFF), nullptr);
}

TEST_F(ServerRegistryTest, OneByteItemsTravelAndUnknownCodesFailTheFill) {
  std::uint8_t flag = 1;
  server_.items = {{10, {1, &flag}}, {11, {4, nullptr}}};
  auto response = Read(*Body(0).Item(10).Item(11).Item(13).Receive(7));
  DseMessage* header = nullptr;
  ASSERT_EQ(response->BuildHeader(&header), 0u);
  EXPECT_TRUE(
      SameBytes(HexBytes("01 00 04 00 00 00"), BodyOf(*header)));  // item 13 unknown: code 0
  delete header;
  EXPECT_TRUE(SameBytes(HexBytes("01 00 00 00 00"), BodyOf(*Filled(*response))));  // no address: 0
  server_.items = {{10, {12, &flag}}};
  EXPECT_EQ(Filled(*Read(*Body(0).Item(10).Receive(7)), 0xA000FFFF),
            nullptr);  // not an empty success
}

TEST_F(ServerRegistryTest, IdPathRequestsWithDamageOrWithoutServerOrOfOtherSubtypes) {
  const std::tuple<const char*, std::uint32_t, std::uint32_t, Status> rows[] = {
      {"00 00 00 00 00 00 00 00 00 03 00 FF FF", 60, 7,
       0x8000FFFF},  // three ids announced, two bytes left
      {"00", 60, 7, 0x8000FFFF},
      {"00 03 00 FF", 60, 8, 0x8000FFFF},
      {"", 60, 10, 0},
      {"", 60, 12, 0},
      {"", 60, 9, 0xA000FFFF},
      {"", 61, 7, 0}};
  for (const auto& [body, type, subtype, result] : rows) {
    EXPECT_EQ(Execute(ReceivedBody(HexBytes(body), type, subtype)), result)
        << body << " " << subtype;
  }
}

TEST_F(ServerRegistryTest, IdPathWritesPassTheSelectorsSwappedUnlessOnlyReadAndStopAtAFailure) {
  const SUValue integer = SUValue::ConstructInt(77, SUValue::kInteger);
  SUValue text;
  text.SetString("x");
  MessagePtr dry = Body().Item(10, 1, 2).Value(integer).Item(11, 3, 4).Value(text).Receive(8, 1);
  EXPECT_EQ(Execute(dry), 0u);
  EXPECT_TRUE(server_.calls.empty());
  EXPECT_EQ(dry->RemainingBytes(), 0u);  // every item was read
  EXPECT_EQ(Execute(Body().Item(10, 1, 2).Value(integer).Item(11, 3, 4).Value(text).Receive(8)),
            0u);
  EXPECT_EQ(server_.calls,
            (std::vector<std::string>{"10 second 2 first 1 type 2", "11 second 4 first 3 type 5"}));
  server_.fail_write_at = 4;
  EXPECT_EQ(
      Execute(
          Body().Item(1).Value(integer).Item(2).Value(integer).Item(3).Value(integer).Receive(8)),
      0x80000555u);
  EXPECT_EQ(server_.calls.size(), 4u);
  SUValue array;
  array.Resize(1);
  EXPECT_EQ(Execute(Body().Item(1).Value(array).Receive(8)), status::kBadArguments);
}

std::vector<std::string> logged;
template <int kWhich>
Status LogTo(std::uint32_t code, std::uint32_t value, std::uint32_t n, const char* const* lines) {
  logged.push_back(Joined(
      std::to_string(kWhich) + " " + std::to_string(code) + ":" + std::to_string(value), n, lines));
  return 0;
}

TEST_F(ServerRegistryTest, LinesGoToTheIOServerOrElseToTheLogCallbackOfTheirCode) {
  auto lines = [](std::uint32_t code) {
    const char* two[] = {"a", "b"};
    std::unique_ptr<DseMessage> event(DseMessage::MakeEvent(code, 9, 2, two));
    return Received(*event);
  };
  logged.clear();
  EXPECT_EQ(registry_.ExecuteIOServerCommand(lines(16).get(), 16), 0x80000015u);
  registry_.SetLogCallbacks(LogTo<1>, LogTo<2>, LogTo<3>);
  for (std::uint32_t code : {16u, 17u, 18u, 20u}) {
    EXPECT_EQ(registry_.ExecuteIOServerCommand(lines(code).get(), code), 0u);
  }
  EXPECT_EQ(logged, (std::vector<std::string>{"1 16:9|a|b", "2 17:9|a|b", "3 18:9|a|b",
                                              "3 20:9|Unknown I/O Server command received",
                                              "3 20:9|Calling Std Log callback"}));
  registry_.SetLogCallbacks(LogTo<1>, nullptr, nullptr);
  EXPECT_EQ(registry_.ExecuteIOServerCommand(lines(20).get(), 20), 0x80000015u);

  registry_.Register(4, &server_);
  // Two items; the first has no lines and is skipped.
  MessagePtr request = ReceivedBody(
      HexBytes("02 00  01 00 00 00 00 00  05 00 00 00 01 00 03 00 00 6F 6B 00"), 4, 16);
  EXPECT_EQ(registry_.ExecuteIOServerCommand(request.get(), 16), 0x17u);
  EXPECT_EQ(server_.calls, std::vector<std::string>{"16:5|ok"});
  MessagePtr lying = ReceivedBody(HexBytes("01 00 05 00 00 00 FF FF 02 00 00 61"), 4, 16);
  EXPECT_EQ(registry_.ExecuteIOServerCommand(lying.get(), 16), status::kBadArguments);
}

TEST_F(ServerRegistryTest, StatusOnlyRepliesCarryTheRequestHeaderAndAStatus) {
  DseMessage request(60, DseMessage::kIdPathWrite);
  request.flags = DseMessage::kKeepPending;
  request.aux = 2;
  request.sequence = 41;
  request.message_class = 4;
  request.Pack(true);
  MessagePtr received = Received(request, Peer(3));
  DseMessage* made = nullptr;
  ASSERT_EQ(DseServerRegistry::MakeStatusReplyTo(0x80000028, *received, &made), 0u);
  MessagePtr reply(made);
  EXPECT_EQ(Header(*reply), (std::vector<std::uint32_t>{4, 8, 0x8C, request.GetId(), 42}));
  EXPECT_EQ(std::make_pair(reply->type, reply->aux), std::make_pair(60u, 2u));
  EXPECT_EQ(reply->SourcePeer(), Peer(3));
  EXPECT_EQ(reply->State(), DseMessage::kPacked);
  EXPECT_TRUE(SameBytes(HexBytes("28 00 00 80"), BodyOf(*reply)));

  std::uint32_t count = 0;
  server_.items = {{10, {4, &count}}};
  MessagePtr read = Body(0).Item(10).Receive(7, 1);
  ASSERT_EQ(DseServerRegistry::MakeStatusReply(0x80000015, *Read(*read), &made), 0u);
  MessagePtr from_template(made);
  EXPECT_EQ(Header(*from_template), (std::vector<std::uint32_t>{3, 7, 0x89, read->GetId(), 7}));
  EXPECT_TRUE(SameBytes(HexBytes("15 00 00 80"), BodyOf(*from_template)));
}

TEST(BBTreeTest, KeepsLeavesSortedReplacesEqualIdsAndHandsRemovedOnesBack) {
  static int destroyed = 0;
  struct Leaf : DseBBTreeLeaf {
    explicit Leaf(std::uint32_t leaf_id) : id(leaf_id) {}
    ~Leaf() override { ++destroyed; }
    std::uint32_t GetId() const override { return id; }
    std::uint32_t id;
  };
  destroyed = 0;
  {
    DseBBTree tree;
    for (std::uint32_t id : {50u, 10u, 40u, 20u, 30u}) tree.Insert(new Leaf(id));
    for (std::uint32_t id = 100; id < 140; ++id) tree.Insert(new Leaf(id));  // grows past 16
    for (std::uint32_t i = 0; i + 1 < tree.Count(); ++i)
      EXPECT_LT(tree.At(i)->GetId(), tree.At(i + 1)->GetId());
    auto* replacement = new Leaf(30);
    tree.Insert(replacement);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(tree.Find(30), replacement);
    EXPECT_EQ(tree.Find(35), nullptr);
    std::unique_ptr<DseBBTreeLeaf> removed(tree.Remove(20));
    EXPECT_NE(removed, nullptr);
    EXPECT_EQ(tree.Remove(20), nullptr);
    EXPECT_EQ(tree.Count(), 44u);
  }
  EXPECT_EQ(destroyed, 46);
}

}  // namespace
