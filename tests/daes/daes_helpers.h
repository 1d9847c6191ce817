// Builds instance descriptions with the model writer and reads them into a
// fresh tree, as the instance manager would.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "daes/instance/instance_node.h"
#include "daes/model/services.h"
#include "daes/model/var_table_entry.h"
#include "expr/tree/expression.h"
#include "framework/messaging/message.h"
#include "tests/framework/message_helpers.h"
#include "tools/model_writer/model_writer.h"
#include "tools/model_writer/sample_models.h"

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

// A library node holding a stored expression, as the library manager keeps
// them: an expression node, or a condition node of kind 17.
struct LibraryExpression : BvuDirectoryNode {
  LibraryExpression(BvuDirectoryNode* parent, Expression* e,
                    std::int32_t node_kind = daes::kLibraryExpressionKind)
      : BvuDirectoryNode(parent, ".e"), expression(e), kind(node_kind) {}
  ~LibraryExpression() override { Expression::Release(expression); }
  std::int32_t GetKind() override { return kind; }
  void* LinkedObject() override { return expression; }
  Expression* expression;
  std::int32_t kind;
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

using modelwriter::Outflow;
using modelwriter::T101;
using modelwriter::Tank;

// The tank's weir flow W, index 9 below T101.
inline void WeirFlow(Writer& w) {
  w.List(1);
  w.Item(mw::kRealVariable);
  w.Placement({T101(), {9, ".W"}});
  w.Value(0.25), w.End();
}

inline DAESVarTableEntry* Entry(BvuDirectoryNode* node) {
  return node != nullptr ? static_cast<DAESVarTableEntry*>(node->AsValueEntry()) : nullptr;
}

}  // namespace daestest
