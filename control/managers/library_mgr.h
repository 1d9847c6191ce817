// SimLibraryMgr: the library definitions the client sends apart from the
// model instances (service 61): procedure definitions, expressions and
// conditions in a named tree whose root is the manager. Items of the
// instance tree refer to the expressions by id path into this tree, and the
// manager is the name context its expressions are read with. The problem
// manager owns the one library manager; server thread only.
#pragma once

#include <cstdint>

#include "control/managers/subsystem_manager.h"
#include "daes/procedures/proc_def.h"
#include "foundation/directory/directory_node.h"
#include "framework/servers/server_callback.h"

class DAESProcDefWithExceptionHandler;
class Expression;

namespace libkind {
inline constexpr std::int32_t kCondition = 17;
inline constexpr std::int32_t kProcedure = 23;
inline constexpr std::int32_t kExpression = 27;
}  // namespace libkind

// A procedure definition, owned and deleted with the node.
class LibProcNode : public BvuDirectoryNode {
 public:
  // Takes the definition (may be null when it did not read).
  LibProcNode(BvuDirectoryNode* parent, const char* name, DAESProcDefWithExceptionHandler* def);
  ~LibProcNode() override;

  std::int32_t GetKind() override { return libkind::kProcedure; }
  void* LinkedObject() override;
  DAESProcDefWithExceptionHandler* Definition() const { return definition_; }
  // Further definition data from a message.
  Status AddDefinitionData(BvuBinaryStream& stream);

 private:
  DAESProcDefWithExceptionHandler* definition_;
};

// A library expression; the node holds one reference.
class LibExprNode : public BvuDirectoryNode {
 public:
  // Takes the caller's reference (null allowed).
  LibExprNode(BvuDirectoryNode* parent, const char* name, Expression* expression);
  ~LibExprNode() override;

  std::int32_t GetKind() override { return libkind::kExpression; }
  // The expression, or null.
  void* LinkedObject() override;
  Expression* GetExpression() const { return expression_; }

 private:
  Expression* expression_;
};

// A condition expression that may have children.
class LibCondNode : public BvuDirectoryProper {
 public:
  LibCondNode(BvuDirectoryNode* parent, const char* name, Expression* expression);
  ~LibCondNode() override;

  std::int32_t GetKind() override { return libkind::kCondition; }
  void* LinkedObject() override;
  Expression* GetExpression() const { return expression_; }

 private:
  Expression* expression_;
};

class SimLibraryMgr : public DseServerCB,
                      public QLNSubSystemManager,
                      public BvuDirectoryProper,
                      public DAESProcDefLibrary {
 public:
  static constexpr std::uint32_t kService = 61;
  // Request kinds.
  static constexpr std::uint16_t kReplace = 3;
  static constexpr std::uint16_t kDelete = 4;
  static constexpr std::uint16_t kSet = 5;
  static constexpr std::uint16_t kAddData = 11;
  // Item kinds.
  static constexpr std::uint16_t kProcedureItem = 1;
  static constexpr std::uint16_t kExpressionItem = 2;
  static constexpr std::uint16_t kConditionItem = 6;
  static constexpr Status kUnknownRequest = 0xA000FFFFu;
  static constexpr Status kNoSuchPath = 10;
  // While a step computes.
  static constexpr Status kBusy = 0x0032000Au;

  SimLibraryMgr();
  ~SimLibraryMgr() override;

  Status DetachProblem(const char* folder, const char* sub_folder) override;
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;
  // The request body without its message.
  Status ServeRequest(BvuBinaryStream& body);
  // Procedure calls find their definitions here while the manager lives.
  DAESProcDef* FindProcDef(const BvuIdPath& path) override;

 private:
  Status SetNode(std::uint16_t kind, std::uint16_t item, BvuBinaryStream& body);
  // Sets the made node at the index, in place of the old one (may be null),
  // which is destroyed.
  Status PlaceNode(BvuDirectoryNode* parent, std::int32_t index, BvuDirectoryNode* old,
                   BvuDirectoryNode* made);
  Status AddData(std::uint16_t item, BvuBinaryStream& body);
  Status DeleteAt(BvuBinaryStream& body);
  // An expression of the body, or null when it did not read (*status) or
  // carries an error.
  Expression* ReadExpression(BvuBinaryStream& body, void* context, Status* status);
};
