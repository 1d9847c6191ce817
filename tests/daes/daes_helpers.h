// Builds instance descriptions with the model writer and reads them into a
// fresh tree, as the instance manager would.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "daes/instance/instance_node.h"
#include "daes/model/var_table_entry.h"
#include "daes/model/services.h"
#include "framework/messaging/message.h"
#include "tests/framework/message_helpers.h"
#include "tools/model_writer/model_writer.h"

namespace daestest {

using modelwriter::Writer;

// The body a writer function makes, as the engine receives it.
inline testsupport::MessagePtr Body(const std::function<void(Writer&)>& write) {
  DseMessage sent(62, DseMessage::kRequest);
  Writer w(sent);
  write(w);
  EXPECT_EQ(w.status(), 0u);
  return testsupport::Received(sent);
}

// The body bytes a writer function makes.
inline testsupport::Bytes BytesOf(const std::function<void(Writer&)>& write) {
  DseMessage sent(62, DseMessage::kRequest);
  Writer w(sent);
  write(w);
  return testsupport::BodyOf(sent);
}

struct Tree {
  Tree() : root(new DAESInstanceNode(nullptr, nullptr)) {}
  ~Tree() { BvuDirectoryProper::DeleteBelow(root), delete root; }
  Status Read(const std::function<void(Writer&)>& write) {
    auto message = Body(write);
    return root->ReadFromMessage(*message, root, nullptr, root);
  }
  BvuDirectoryNode* At(std::vector<std::uint32_t> ids) {
    BvuDirectoryNode* node = root;
    for (std::uint32_t id : ids) {
      node = node != nullptr ? node->ChildAt(static_cast<std::int32_t>(id)) : nullptr;
    }
    return node;
  }
  DAESInstanceNode* root;
};

// Records the client notices instead of sending them.
struct NoticeRecorder {
  NoticeRecorder() { previous = daes::SetNoticeSender(&Record); }
  ~NoticeRecorder() {
    daes::SetNoticeSender(previous);
    Sent().clear();
  }
  static std::vector<testsupport::Bytes>& Sent() {
    static std::vector<testsupport::Bytes> sent;
    return sent;
  }
  static Status Record(DseMessage* message) {
    Sent().push_back(testsupport::BodyOf(*message));
    delete message;
    return 0;
  }
  daes::NoticeSender previous;
};

namespace mw = modelwriter;

inline mw::Step T101() { return {2, "T101"}; }

inline void Outflow(Writer& w) {
  w.Item(mw::kInlineEquation);
  w.U32(0);
  w.Expression(mw::Sub(mw::Var(0), mw::Mul(mw::Var(1), mw::Sqrt(mw::Var(2)))));
  w.Placement({T101(), {7, ".Outflow"}});
  w.EquationHead(3);
  w.Reference({2, 3});
  w.Reference({2, 4});
  w.Reference({2, 1});
}

// The tank: state h, fixed inflow, free outflow, parameters k and A, the
// mass balance and the outflow law.
inline void Tank(Writer& w) {
  w.List(7);
  w.Item(mw::kStateVariable);
  w.Placement({T101(), {1, ".h"}});
  w.Value(1.0), w.Spec(32), w.Lower(0.0), w.End();
  w.Item(mw::kRealVariable);
  w.Placement({T101(), {2, ".F_in"}});
  w.Value(0.5), w.Spec(4), w.End();
  w.Item(mw::kRealVariable);
  w.Placement({T101(), {3, ".F_out"}});
  w.Value(0.0), w.End();
  w.Item(mw::kRealParameter);
  w.Placement({T101(), {4, ".k"}});
  w.Value(0.5), w.End();
  w.Item(mw::kRealParameter);
  w.Placement({T101(), {5, ".A"}});
  w.Value(2.0), w.End();
  w.Item(mw::kInlineEquation);
  w.U32(0);
  w.Expression(mw::Sub(mw::Mul(mw::Var(0), mw::Var(1)), mw::Sub(mw::Var(2), mw::Var(3))));
  w.Placement({T101(), {6, ".MassBalance"}});
  w.EquationHead(4);
  w.Reference({2, 5});
  w.Reference({2, 1, 1});
  w.Reference({2, 2});
  w.Reference({2, 3});
  Outflow(w);
}

inline DAESVarTableEntry* Entry(BvuDirectoryNode* node) {
  return node != nullptr ? static_cast<DAESVarTableEntry*>(node->AsValueEntry()) : nullptr;
}

}  // namespace daestest
