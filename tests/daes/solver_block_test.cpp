#include "daes/blocks/solver_block.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "daes/model/variable.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/group_method.h"
#include "platform/unknown.h"
#include "tests/support/quiet_group_method.h"

namespace {

struct Vars {
  DAESVarTableEntry* Make(std::uint32_t flags, std::uint32_t sequence) {
    all.push_back(std::make_unique<DAESRealVariable>(nullptr, "x"));
    DAESVarTableEntry* v = all.back().get();
    v->ClearFlags(~0u);
    v->SetFlags(flags);
    v->SetSequenceNumber(sequence);
    return v;
  }
  std::vector<std::unique_ptr<DAESRealVariable>> all;
};

std::vector<std::uint32_t> Order(const DAESSolverBlock& block) {
  std::vector<std::uint32_t> out;
  for (std::int32_t i = 0; i < block.VariableCount(); ++i) {
    out.push_back(block.GetVariable(i)->SequenceNumber());
  }
  return out;
}

TEST(SolverBlockTest, VariablesLandSortedInTheirSegments) {
  constexpr std::uint32_t kKeptLast = daes::kFixed | 0x100000;
  struct Case {
    std::uint32_t block_flags;
    std::vector<std::uint32_t> order;  // sequence numbers in table order
    std::uint32_t known, unknown, third, last;
  };
  // Added: 5 other, 9 unknown, 2 known, 7 kept-last, 3 unknown, 1 known,
  // 8 other, 9 again, 6 kept-last, 1 again.
  const Case cases[] = {
      {0, {1, 2, 3, 9, 5, 6, 7, 8}, 2, 2, 4, 0},
      {daes::kEquationSetBlock, {1, 2, 3, 9, 5, 8, 6, 7}, 2, 2, 2, 2},
  };
  for (const Case& c : cases) {
    Vars vars;
    DAESSolverBlock block;
    block.SetFlags(c.block_flags);
    const std::pair<std::uint32_t, std::uint32_t> added[] = {
        {0, 5},           {daes::kAlgebraic, 9}, {daes::kState, 2},
        {kKeptLast, 7},   {daes::kAlgebraic, 3}, {daes::kState, 1},
        {0, 8},           {daes::kAlgebraic, 9}, {kKeptLast, 6},
        {daes::kState, 1}};
    for (auto [flags, sequence] : added) {
      EXPECT_EQ(block.AddVariable(vars.Make(flags, sequence)), 0u);
    }
    EXPECT_EQ(Order(block), c.order) << c.block_flags;
    EXPECT_EQ(block.KnownCount(), c.known);
    EXPECT_EQ(block.UnknownCount(), c.unknown);
    EXPECT_EQ(block.OtherCount(), c.third);
    EXPECT_EQ(block.LastCount(), c.last);
    EXPECT_EQ(block.FindVariable(block.GetVariable(3)), 4);
    EXPECT_EQ(block.FindVariable(vars.all.back().get()), 0);  // the duplicate 1
  }
}

// A problem's table filled from its tree keeps entries past their
// segment's end aside until the fill ends: every answer on the way, the
// final order and the capacity must be those of one insert at a time.
TEST(SolverBlockTest, BulkFillAnswersAsSortedInsertsDo) {
  constexpr std::uint32_t kKeptLast = daes::kFixed | 0x100000;
  const std::uint32_t kinds[] = {daes::kState, daes::kAlgebraic, 0, kKeptLast};
  for (const std::uint32_t block_flags : {0u, std::uint32_t{daes::kEquationSetBlock}}) {
    Vars vars;
    DAESSolverBlock plain;
    DAESSolverBlock bulk;
    plain.SetFlags(block_flags);
    bulk.SetFlags(block_flags);
    bulk.BeginBulkInsert();
    std::uint32_t seed = 12345;
    const auto next = [&seed](std::uint32_t n) {
      seed = seed * 1103515245u + 12345u;
      return (seed >> 8) % n;
    };
    // Entries read last but numbered first (a feed sent after the units)
    // make every later one fall before them, inside its segment.
    for (std::uint32_t k = 0; k < 8; ++k) {
      DAESVarTableEntry* v = vars.Make(kinds[k % 4], 100000 + k);
      std::int32_t at_plain = -2;
      std::int32_t at_bulk = -2;
      ASSERT_EQ(bulk.InsertVariable(v, &at_bulk), plain.InsertVariable(v, &at_plain));
      ASSERT_EQ(at_bulk, at_plain);
    }
    std::uint32_t rising = 0;
    for (int step = 0; step < 600; ++step) {
      // Mostly rising numbers in tree order, some going back, some again.
      const std::uint32_t pick = next(10);
      const std::uint32_t sequence = pick < 7 ? ++rising : pick < 9 ? 1 + next(rising + 1) : rising;
      DAESVarTableEntry* v = vars.Make(kinds[next(4)], sequence);
      std::int32_t at_plain = -2;
      std::int32_t at_bulk = -2;
      ASSERT_EQ(bulk.InsertVariable(v, &at_bulk), plain.InsertVariable(v, &at_plain)) << step;
      ASSERT_EQ(at_bulk, at_plain) << step;
      ASSERT_EQ(bulk.VariableCount(), plain.VariableCount()) << step;
      for (std::int32_t i = -1; i <= plain.VariableCount(); ++i) {
        ASSERT_EQ(bulk.GetVariable(i), plain.GetVariable(i)) << step << " " << i;
      }
      const std::uint32_t probe = 1 + next(rising + 2);
      ASSERT_EQ(bulk.FindBySequence(probe), plain.FindBySequence(probe)) << step;
      if (step % 150 == 149) {
        // A removal and a search by entry put the waiting entries in place.
        const auto gone = static_cast<std::uint32_t>(next(plain.VariableCount()));
        plain.RemoveVariableAt(gone);
        bulk.RemoveVariableAt(gone);
        ASSERT_EQ(bulk.FindVariable(v), plain.FindVariable(v)) << step;
      }
    }
    bulk.EndBulkInsert();
    EXPECT_EQ(Order(bulk), Order(plain)) << block_flags;
    EXPECT_EQ(bulk.VariableCapacity(), plain.VariableCapacity());
    EXPECT_EQ(bulk.KnownCount(), plain.KnownCount());
    EXPECT_EQ(bulk.UnknownCount(), plain.UnknownCount());
    EXPECT_EQ(bulk.OtherCount(), plain.OtherCount());
    EXPECT_EQ(bulk.LastCount(), plain.LastCount());
    for (std::int32_t i = 0; i < plain.VariableCount(); ++i) {
      EXPECT_EQ(bulk.GetVariables()[i], plain.GetVariables()[i]) << i;
    }
  }
}

TEST(SolverBlockTest, ListsGrowByEightThenDoubleUpToTheStep) {
  struct Case {
    std::uint32_t reserve;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> count_capacity;
  };
  const Case cases[] = {
      {0, {{0, 0}, {1, 8}, {9, 16}, {17, 32}, {4096, 4096}, {4097, 8192}, {8193, 12288}}},
      {2, {{0, 2}, {2, 2}, {3, 4}, {5, 8}}},
  };
  Vars vars;
  DAESVarTableEntry* v = vars.Make(0, 1);
  for (const Case& c : cases) {
    DAESSolverBlock block(c.reserve);
    std::uint32_t count = 0;
    for (auto [target, capacity] : c.count_capacity) {
      for (; count < target; ++count) ASSERT_EQ(block.AppendVariable(v), 0u);
      EXPECT_EQ(block.VariableCapacity(), capacity) << c.reserve << " " << target;
      EXPECT_EQ(block.RowCapacity(), c.reserve);
    }
  }
}

class CountedRow : public DAESEqnRow {
 public:
  explicit CountedRow(int* deleted) : deleted_(deleted) {}
  ~CountedRow() override { ++*deleted_; }

 private:
  int* deleted_;
};

class FakeMethod : public QuietGroupMethod {
 public:
  explicit FakeMethod(int* dropped) : dropped_(dropped) {}
  Status Solve(QLNGroup*, std::uint8_t, std::uint32_t, std::uint32_t, Status*) override {
    return 0;
  }
  Status DropWorkspace(void** slot) override {
    ++*dropped_;
    *slot = nullptr;
    return 0;
  }

 private:
  int* dropped_;
};

class FakeObject : public platform::IUnknown {
 public:
  Status QueryInterface(const platform::IID&, void**) override { return 0x80004002u; }
  std::uint32_t AddRef() override { return ++refs; }
  std::uint32_t Release() override { return --refs; }
  std::uint32_t refs = 1;
};

TEST(SolverBlockTest, RowsAreCountedAndOwned) {
  Vars vars;
  int deleted = 0;
  int dropped = 0;
  ASSERT_EQ(ReplaceGroupMethod(kGroupNonlinear, new FakeMethod(&dropped)), 0u);
  FakeObject object;
  {
    DAESSolverBlock block;
    auto* sub = new DAESSolverBlock;
    std::int32_t position = 0;
    auto* a = new CountedRow(&deleted);
    a->InsertVariable(vars.Make(0, 1), &position);
    a->InsertVariable(vars.Make(0, 2), &position);
    a->SetFlags(daes::kCountedRow);
    auto* b = new CountedRow(&deleted);
    b->InsertVariable(vars.Make(0, 3), &position);
    b->SetFlags(daes::kProcedureRow | daes::kCountedRow);
    auto* inner = new CountedRow(&deleted);
    inner->InsertVariable(vars.Make(0, 4), &position);
    ASSERT_EQ(sub->AddRow(inner), 0u);
    for (QLNRow* row : std::initializer_list<QLNRow*>{a, b, sub}) ASSERT_EQ(block.AddRow(row), 0u);

    EXPECT_EQ(block.GetRowCount(), 3u);
    EXPECT_EQ(block.ElementCount(), 4u);
    EXPECT_EQ(block.CountedRows(), 2u);
    EXPECT_EQ(block.ProcedureRows(), 1u);
    EXPECT_EQ(block.GetRow(2)->GetFlags() & daes::kGroupRow, daes::kGroupRow);
    EXPECT_EQ(block.GetKind(), daes::kKindUnset);

    block.AddNonZeros(10);
    block.AddSensitivityNonZeros(3);
    EXPECT_EQ(block.GetNetCount(), 7u);
    block.SetCountOverride(42);
    EXPECT_EQ(block.GetNetCount(), 42u);

    block.SetKind(kGroupNonlinear);
    block.SetWorkspace(&deleted);
    object.AddRef();
    block.SetEquationSetObject(&object);
    EXPECT_EQ(object.refs, 2u);
  }
  EXPECT_EQ(deleted, 3);  // sub-block rows too
  EXPECT_EQ(dropped, 1);
  EXPECT_EQ(object.refs, 1u);
  ReplaceGroupMethod(kGroupNonlinear, nullptr);
}

TEST(SolverBlockTest, IndeterminateFlagFollowsTheList) {
  Vars vars;
  DAESSolverBlock block;
  DAESVarTableEntry* a = vars.Make(0, 7);
  DAESVarTableEntry* b = vars.Make(0, 3);
  EXPECT_FALSE(block.HasIndeterminate());
  block.AddIndeterminate(a);
  block.AddIndeterminate(b);
  block.AddIndeterminate(a);
  EXPECT_EQ(block.GetIndeterminateCount(), 2u);
  EXPECT_EQ(block.GetIndeterminate(0), b);
  EXPECT_TRUE(block.HasIndeterminate());
  EXPECT_TRUE(a->IsMarkedIndeterminate());
  EXPECT_TRUE(b->IsMarkedIndeterminate());
  block.RemoveIndeterminate(b);
  EXPECT_FALSE(b->IsMarkedIndeterminate());
  EXPECT_TRUE(block.HasIndeterminate());
  block.RemoveIndeterminate(a);
  EXPECT_FALSE(block.HasIndeterminate());
  EXPECT_FALSE(a->IsMarkedIndeterminate());
}

TEST(SolverBlockTest, DestroyedBlockLeavesNoIndeterminateMarks) {
  Vars vars;
  std::vector<DAESVarTableEntry*> listed;
  {
    DAESSolverBlock block;
    EXPECT_EQ(block.IndeterminateCapacity(), 4u);
    for (std::uint32_t k = 1; k <= 5; ++k) {
      listed.push_back(vars.Make(0, k));
      ASSERT_EQ(block.AddIndeterminate(listed.back()), 0u);
    }
    EXPECT_EQ(block.IndeterminateCapacity(), 8u);
    for (DAESVarTableEntry* v : listed) EXPECT_TRUE(v->IsMarkedIndeterminate());
  }
  for (DAESVarTableEntry* v : listed) EXPECT_FALSE(v->IsMarkedIndeterminate());
}

}  // namespace

// Past the scan limit the positions come from an index: it must give the
// same answers as a scan after inserts, removals and repeated entries.
TEST(SolverBlockTest, FindVariableAgreesWithAScanAsTheTableChanges) {
  Vars vars;
  DAESSolverBlock block;
  auto scan = [&](const DAESVarTableEntry* v) {
    for (std::int32_t i = 0; i < block.VariableCount(); ++i) {
      if (block.GetVariable(i) == v) return i + 1;
    }
    return 0;
  };
  auto agree = [&](const char* when) {
    for (const auto& v : vars.all) EXPECT_EQ(block.FindVariable(v.get()), scan(v.get())) << when;
  };
  // Membership is asked between inserts, before any position is.
  auto holds = [&](const char* when) {
    for (const auto& v : vars.all)
      EXPECT_EQ(block.HoldsVariable(v.get()), scan(v.get()) != 0) << when;
  };
  for (std::uint32_t s = 40; s > 0; s -= 2) {
    block.AddVariable(vars.Make(daes::kAlgebraic, s));
    holds("while filling");
  }
  agree("sorted inserts");
  DAESVarTableEntry* repeated = block.GetVariable(3);
  ASSERT_EQ(block.AppendVariable(repeated), 0u);  // listed twice: the first position
  EXPECT_EQ(block.FindVariable(repeated), 4);
  vars.Make(daes::kAlgebraic, 10);  // a different entry with a listed sequence
  agree("duplicates");
  EXPECT_EQ(block.FindVariable(vars.all.back().get()), 0);
  block.AddVariable(vars.Make(daes::kAlgebraic, 1));  // shifts every position
  agree("front insert");
  holds("front insert");
  // A twice-listed entry stays held until both are gone.
  block.RemoveVariableAt(static_cast<std::uint32_t>(block.FindVariable(repeated) - 1));
  holds("first removal");
  agree("removal");
  EXPECT_EQ(block.FindVariable(repeated), block.VariableCount());
  block.AddVariable(vars.Make(daes::kAlgebraic, 99));
  holds("insert after removal");
  block.RemoveVariableAt(static_cast<std::uint32_t>(block.FindVariable(repeated) - 1));
  EXPECT_FALSE(block.HoldsVariable(repeated));
  holds("second removal");
}

// Large tables remember where an entry was found last, on the entry: two
// tables holding the same entries at other places, asked in turn, still
// answer their own places, and a table listing an entry twice its first.
TEST(SolverBlockTest, FindVariableAnswersEachTableItsOwnPlaceWhenAskedInTurn) {
  Vars vars;
  DAESSolverBlock forward;
  DAESSolverBlock backward;
  for (std::uint32_t s = 1; s <= 30; ++s) vars.Make(daes::kAlgebraic, s);
  for (std::size_t k = 0; k < vars.all.size(); ++k) {
    ASSERT_EQ(forward.AppendVariable(vars.all[k].get()), 0u);
    ASSERT_EQ(backward.AppendVariable(vars.all[vars.all.size() - 1 - k].get()), 0u);
  }
  const auto n = static_cast<std::int32_t>(vars.all.size());
  for (int round = 0; round < 2; ++round) {
    for (std::int32_t k = 0; k < n; ++k) {
      DAESVarTableEntry* v = vars.all[static_cast<std::size_t>(k)].get();
      EXPECT_EQ(forward.FindVariable(v), k + 1);
      EXPECT_EQ(backward.FindVariable(v), n - k);
    }
  }
  // A third table lists entry 5 at its own place and again where the
  // second table holds it, the place the hint left on the entry names.
  DAESSolverBlock twice;
  DAESVarTableEntry* repeated = vars.all[5].get();
  for (std::int32_t k = 0; k < n; ++k) {
    DAESVarTableEntry* v = k == n - 6 ? repeated : vars.all[static_cast<std::size_t>(k)].get();
    ASSERT_EQ(twice.AppendVariable(v), 0u);
  }
  EXPECT_EQ(backward.FindVariable(repeated), n - 5);
  EXPECT_EQ(repeated->PositionHint(), n - 6);
  EXPECT_EQ(twice.FindVariable(repeated), 6);
}
