#include "solve/groups/partition.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <initializer_list>
#include <sstream>
#include <string>
#include <unordered_map>

#include "daes/blocks/solver_block.h"
#include "daes/procedures/proc_def.h"
#include "foundation/directory/directory_node.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"
#include "numerics/sparse_lu/block_triangular.h"

namespace {

bool IsResult(std::int32_t code) { return code == kCodeResult || code == kCodeMustBeFree; }

// The process-wide scratch of the matchings, grown and never shrunk.
std::vector<std::int64_t>& Scratch(int which) {
  static std::vector<std::int64_t> scratch[2];
  return scratch[which];
}

std::int64_t* Grown(int which, std::size_t n) {
  std::vector<std::int64_t>& v = Scratch(which);
  if (v.size() < n) v.resize(n);
  return v.data();
}

// The first failure among the writes of a reply.
struct FirstFailure {
  void Put(Status s) {
    if (!status::IsFailure(status) && status::IsFailure(s)) status = s;
  }
  Status status = 0;
};

// The reply's counts are 16 bits, the count of item 2 a signed one (it may
// be negative): a finding that does not fit is refused whole, with a
// message, before anything is written, rather than sent with a count that
// does not match its entries.
Status CheckReplyFits(std::int32_t count, std::initializer_list<std::size_t> lists) {
  std::size_t longest = 0;
  for (std::size_t n : lists) longest = std::max(longest, n);
  if (longest <= 0xFFFF && count >= INT16_MIN && count <= INT16_MAX) return 0;
  std::int32_t entries = static_cast<std::int32_t>(std::min<std::size_t>(longest, INT32_MAX));
  if (longest <= 0xFFFF) {
    entries = count;
    SuPrint(kPartitionBadRequest,
            "Structural analysis: a count of %d does not fit the reply, which holds -32768 to "
            "32767",
            &entries);
  } else {
    SuPrint(kPartitionBadRequest,
            "Structural analysis: a list of %d entries does not fit the reply, which holds 65535",
            &entries);
  }
  return kPartitionBadRequest;
}

}  // namespace

void PartitionKernel(std::int32_t method, const PartitionKernelInput& in,
                     std::vector<std::int32_t>& codes, PartitionKernelResult* out) {
  if (method != 2) return;
  const std::int32_t E = in.equations;
  const std::int32_t V = in.variables;
  const std::size_t NE = in.incidence_variable.size();
  out->failure = 0;
  out->involved.assign(static_cast<std::size_t>(E) + 1, 0);
  out->free_equations.clear();
  auto code = [&](std::int32_t v) -> std::int32_t& {
    return codes[static_cast<std::size_t>(v - 1)];
  };
  std::vector<std::uint8_t> open(static_cast<std::size_t>(V) + 1, 0);
  std::vector<std::uint8_t> reclassified(static_cast<std::size_t>(V) + 1, 0);
  for (std::int32_t v = 1; v <= V; ++v)
    open[static_cast<std::size_t>(v)] = code(v) == -1 || code(v) == 0;
  // Equation e's incidences: [first[e], first[e + 1]).
  std::vector<std::size_t> first(static_cast<std::size_t>(E) + 2, NE);
  for (std::size_t k = NE; k-- > 0;) {
    first[static_cast<std::size_t>(in.incidence_equation[k])] = k;
  }
  for (std::int32_t e = E; e >= 1; --e) {
    first[static_cast<std::size_t>(e)] =
        std::min(first[static_cast<std::size_t>(e)], first[static_cast<std::size_t>(e) + 1]);
  }
  std::vector<std::int32_t> order(static_cast<std::size_t>(V) + 1);
  std::vector<std::int32_t> inverse(static_cast<std::size_t>(V) + 1);
  for (std::int32_t pass = 1;; ++pass) {
    std::int32_t F = 0;
    for (std::int32_t v = 1; v <= V; ++v) F += code(v) >= 0 ? 1 : 0;
    const std::int32_t imbalance = std::abs(F - E);
    const std::int32_t N = std::max(F, E);
    std::fill(inverse.begin(), inverse.end(), 0);
    std::int32_t placed = 0;
    auto place = [&](auto&& wanted) {
      for (std::int32_t v = 1; v <= V; ++v) {
        if (inverse[static_cast<std::size_t>(v)] == 0 && wanted(v)) {
          order[static_cast<std::size_t>(++placed)] = v;
          inverse[static_cast<std::size_t>(v)] = placed;
        }
      }
    };
    auto candidate = [&](std::int32_t v) {
      return open[static_cast<std::size_t>(v)] != 0 ||
             reclassified[static_cast<std::size_t>(v)] != 0;
    };
    auto partner_negative = [&](std::int32_t v) {
      const std::int32_t p = in.partner[static_cast<std::size_t>(v - 1)];
      return p != 0 && code(p) < 0;
    };
    // A must-be-free variable with a negative code goes by its code, so that
    // every position the matching sees stays within N.
    place([&](std::int32_t v) {
      return in.must_be_free[static_cast<std::size_t>(v - 1)] != 0 && code(v) >= 0;
    });
    place([&](std::int32_t v) { return candidate(v) && code(v) == 0 && partner_negative(v); });
    place([&](std::int32_t v) { return candidate(v) && code(v) == 0; });
    place([&](std::int32_t v) { return candidate(v) && code(v) >= 1; });
    const std::int32_t C = placed;
    place([&](std::int32_t v) { return !candidate(v) && (code(v) == 0 || code(v) == 1); });
    place([&](std::int32_t v) { return !candidate(v) && code(v) >= 2; });
    place([&](std::int32_t v) { return code(v) == -3; });
    place([&](std::int32_t v) { return code(v) == -2 || code(v) == -1; });
    place([&](std::int32_t v) { return code(v) == -4; });
    place([&](std::int32_t) { return true; });  // any other code, last
    // Equation lists of positions, sorted.
    std::vector<std::vector<std::int64_t>> lists(static_cast<std::size_t>(N) + 1);
    for (std::size_t k = 0; k < NE; ++k) {
      const std::int32_t v = in.incidence_variable[k];
      if (code(v) >= 0) {
        lists[static_cast<std::size_t>(in.incidence_equation[k])].push_back(
            inverse[static_cast<std::size_t>(v)]);
      }
    }
    for (auto& l : lists) std::sort(l.begin(), l.end());
    auto match = [&](const std::vector<std::vector<std::int64_t>>& by_index, std::int64_t* result,
                     std::int64_t* rank) {
      std::vector<std::int64_t> entries;
      std::vector<std::int64_t> start(static_cast<std::size_t>(N));
      std::vector<std::int64_t> count(static_cast<std::size_t>(N));
      for (std::int32_t i = 1; i <= N; ++i) {
        start[static_cast<std::size_t>(i - 1)] = static_cast<std::int64_t>(entries.size()) + 1;
        count[static_cast<std::size_t>(i - 1)] =
            static_cast<std::int64_t>(by_index[static_cast<std::size_t>(i)].size());
        entries.insert(entries.end(), by_index[static_cast<std::size_t>(i)].begin(),
                       by_index[static_cast<std::size_t>(i)].end());
      }
      if (entries.empty()) entries.push_back(0);
      const std::int64_t n = N;
      const std::int64_t length = static_cast<std::int64_t>(entries.size());
      std::int64_t* work = Grown(1, 4 * static_cast<std::size_t>(N) + 4);
      MaximumTransversal(&n, entries.data(), &length, start.data(), count.data(), result, rank,
                         work);
    };
    std::vector<std::vector<std::int64_t>> restricted(static_cast<std::size_t>(N) + 1);
    for (std::int32_t e = 1; e <= E; ++e) {
      for (std::int64_t p : lists[static_cast<std::size_t>(e)]) {
        if (p <= C) restricted[static_cast<std::size_t>(e)].push_back(p);
      }
    }
    std::int64_t* match1 = Grown(0, 2 * static_cast<std::size_t>(N) + 2);
    std::int64_t rank1 = 0;
    if (N > 0) match(restricted, match1, &rank1);
    std::vector<std::vector<std::int64_t>> reordered(static_cast<std::size_t>(N) + 1);
    for (std::int32_t k = 1; k <= N; ++k) {
      reordered[static_cast<std::size_t>(k)] = lists[static_cast<std::size_t>(match1[k - 1])];
    }
    std::int64_t* match2 = match1 + N;
    std::int64_t rank2 = 0;
    if (N > 0) match(reordered, match2, &rank2);
    if (pass == 1) out->rank = static_cast<std::int32_t>(rank2);
    std::int32_t unmatched = 0;
    std::vector<std::int32_t> unmatched_equations;
    for (std::int32_t p = 1; p <= N; ++p) {
      const std::int64_t eq = match1[match2[p - 1] - 1];
      const std::vector<std::int64_t>& l = lists[static_cast<std::size_t>(eq)];
      if (eq <= E && std::binary_search(l.begin(), l.end(), p)) continue;
      ++unmatched;
      if (eq <= E) {
        unmatched_equations.push_back(static_cast<std::int32_t>(eq));
      } else if (imbalance != 0 && p <= V) {
        std::int32_t& c = code(order[static_cast<std::size_t>(p)]);
        c = c < 2 ? -3 : -2;
      }
    }
    if (unmatched <= imbalance && N <= F) {
      out->failure = 0;
      break;
    }
    if (pass == 2) {
      out->failure = -1;
      break;
    }
    for (std::int32_t e : unmatched_equations) out->involved[static_cast<std::size_t>(e)] = 1;
    if (NE < 1) {
      out->failure = -2;
      break;
    }
    std::int32_t changes = 0;
    for (std::size_t k = 0; k < NE; ++k) {
      const std::int32_t v = in.incidence_variable[k];
      std::int32_t& c = code(v);
      if (c == -3) {
        c = 1;
        ++changes;
      } else if (c == -2 || c == -1) {
        c = 2;
        ++changes;
      } else if (c < 2) {
        reclassified[static_cast<std::size_t>(v)] = 1;
      }
    }
    if (changes == 0) {
      out->failure = -2;
      break;
    }
  }
  std::vector<std::uint8_t> listed(static_cast<std::size_t>(E) + 1, 0);
  for (std::size_t k = 0; k < NE; ++k) {
    const std::int32_t v = in.incidence_variable[k];
    if (code(v) == -3 && in.must_be_free[static_cast<std::size_t>(v - 1)] != 0) {
      listed[static_cast<std::size_t>(in.incidence_equation[k])] = 1;
    }
  }
  for (std::int32_t e = 1; e <= E; ++e) {
    if (listed[static_cast<std::size_t>(e)] != 0) out->free_equations.push_back(e);
  }
  std::int32_t F = 0;
  for (std::int32_t v = 1; v <= V; ++v) F += code(v) >= 0 ? 1 : 0;
  out->count = E - F;
}

namespace {

struct Request {
  std::uint16_t mode = 0;
  std::uint16_t all = 0;
  std::uint16_t iterate = 0;
  std::vector<DAESVarTableEntry*> variables;
  std::vector<std::uint16_t> must_be_free;
};

Status ReadRequest(BvuBinaryStream& s, BvuDirectoryNode* tree, Request* r) {
  std::uint16_t n = 0;
  if (s.GetUInt16(&r->mode) != 0 || s.GetUInt16(&r->all) != 0 || s.GetUInt16(&r->iterate) != 0 ||
      s.GetUInt16(&n) != 0) {
    return kPartitionBadRequest;
  }
  for (std::uint16_t k = 0; k < n; ++k) {
    BvuDirectoryNode* node = nullptr;
    if (tree == nullptr || status::IsFailure(tree->ReadIdPath(s, &node)) || node == nullptr) {
      return kPartitionBadRequest;
    }
    // A path that names a model or the root instead of a variable is as
    // bad as one that names nothing.
    auto* variable = static_cast<DAESVarTableEntry*>(node->AsValueEntry());
    std::uint16_t free = 0;
    if (variable == nullptr || s.GetUInt16(&free) != 0) return kPartitionBadRequest;
    r->variables.push_back(variable);
    r->must_be_free.push_back(free);
  }
  return 0;
}

std::string Text(DAESVarTableEntry* v, std::int32_t attribute) {
  const char* t = nullptr;
  if (v->GetTextAttribute(attribute, &t) != 0 || t == nullptr) return v->GetNameText();
  return t;
}

// The procedure of a call row as its messages name it.
const char* ProcedureNameOf(DAESEqnRow* row) {
  auto* underlying = dynamic_cast<DAESEqnRow*>(row->UnderlyingEquation());
  DAESProcDef* d = (underlying != nullptr ? underlying : row)->ProcedureDefinition();
  if (d == nullptr) return "<undefined>";
  const char* name = d->DisplayName();
  return name != nullptr ? name : d->ImplementationName().c_str();
}

std::string EquationText(QLNRow* row) {
  std::ostringstream out;
  if (auto* q = dynamic_cast<QLNEquation*>(row)) q->PrintResidual(out, 0, nullptr);
  return out.str();
}

}  // namespace

Status Partition(DAESSolverBlock* block, BvuBinaryStream& request, BvuDirectoryNode* tree,
                 BvuBinaryStream& reply) {
  Request r;
  const Status read = ReadRequest(request, tree, &r);
  if (read != 0) return read;
  SolverOptions* options = SolverOptions::Instance();
  const bool tearing = options->GetInt(kOptTearing) != 0;
  std::uint32_t include = 0x7;
  std::uint32_t exclude = 0;
  if (r.all == 0) {
    if (r.mode == 1) {
      include = 0x3;
      exclude = 0x4;
    } else if (options->GetInt(kOptIntegrator) == 1 || options->GetInt(kOptIntegrator) == 2) {
      include = 0x6;
      exclude = 0x1;
    }
  }
  auto selected = [&](DAESVarTableEntry* v) {
    const std::uint32_t f = v->GetFlags();
    return (f & include) != 0 && (f & exclude) == 0;
  };
  // Step 1: the working list.
  std::vector<DAESVarTableEntry*> work;
  std::unordered_map<const DAESVarTableEntry*, std::int32_t> position;
  for (std::int32_t i = 0; i < block->VariableCount(); ++i) {
    DAESVarTableEntry* v = block->GetVariable(i);
    if (v == nullptr || !selected(v) || position.count(v) != 0) continue;
    v->SetFlags(0x60);
    work.push_back(v);
    position[v] = static_cast<std::int32_t>(work.size());
  }
  const auto V = static_cast<std::int32_t>(work.size());
  // Step 2: the incidence.
  PartitionKernelInput in;
  in.variables = V;
  std::vector<QLNRow*> rows;
  for (std::uint32_t i = 0; i < block->GetRowCount(); ++i) {
    QLNRow* row = block->GetRow(i);
    if ((row->GetFlags() & daes::kLeftOutRow) != 0) continue;
    rows.push_back(row);
    const auto e = static_cast<std::int32_t>(rows.size());
    auto* eqn = dynamic_cast<DAESEqnRow*>(row);
    if (tearing && (row->GetFlags() & daes::kProcedureRow) != 0 && eqn != nullptr &&
        eqn->OutputElement() != nullptr) {
      DAESVarTableEntry* out = eqn->OutputElement();
      if ((out->GetFlags() & daes::kFixed) != 0) {
        if (options->GetInt(kOptPrintLevel) >= 0) {
          BvuNameable* named = out;
          BvuNameable* equation = row;
          SuPrint(kPartitionFixedOutput,
                  "Your simulation is singular because the output variable @Ns\nfor procedure %s "
                  "in equation @es has been FIXED.",
                  &named, ProcedureNameOf(eqn), &equation);
        }
        return kPartitionFixedOutput;
      }
      auto it = position.find(out);
      if (it != position.end()) {
        out->SetFlags(daes::kTakenVariable);
        in.incidence_variable.push_back(it->second);
        in.incidence_equation.push_back(e);
      }
      continue;
    }
    std::vector<DAESVarTableEntry*> taken;
    for (std::int32_t k = 0; k < row->VariableCount(); ++k) {
      DAESVarTableEntry* v = row->GetVariable(k);
      if (v == nullptr || !selected(v) || (v->GetFlags() & daes::kTakenVariable) == 0) continue;
      auto it = position.find(v);
      if (it == position.end()) continue;
      v->ClearFlags(daes::kTakenVariable);
      taken.push_back(v);
      in.incidence_variable.push_back(it->second);
      in.incidence_equation.push_back(e);
    }
    for (DAESVarTableEntry* v : taken) v->SetFlags(daes::kTakenVariable);
  }
  const auto E = static_cast<std::int32_t>(rows.size());
  in.equations = E;
  // Step 3: initial codes and partners.
  std::vector<std::int32_t> codes(static_cast<std::size_t>(V));
  in.partner.assign(static_cast<std::size_t>(V), 0);
  in.must_be_free.assign(static_cast<std::size_t>(V), 0);
  std::vector<std::int32_t> priority(static_cast<std::size_t>(V), 0);
  for (std::int32_t i = 0; i < V; ++i) {
    DAESVarTableEntry* v = work[static_cast<std::size_t>(i)];
    const std::uint32_t f = v->GetFlags();
    std::int32_t c = 0;
    if (r.all != 0) {
      c = (f & 0x80) != 0 ? -2 : (f & 0x1) != 0 ? -4 : 1;
    } else if (r.mode == 5) {
      c = (f & 0x2) == 0 && (f & 0x80) != 0 ? -4 : (f & 0x10) != 0 ? 1 : -2;
    } else if (r.mode == 1) {
      c = (f & 0x10) != 0 ? 1 : (f & 0x80) != 0 ? -2 : 1;
    } else if ((f & 0x2) == 0) {
      c = (f & 0x1) != 0 ? -4 : 0;
    } else {
      c = (f & 0x10) != 0 ? 1 : (f & 0x80) != 0 ? -2 : 1;
    }
    codes[static_cast<std::size_t>(i)] = c;
    if (r.mode != 1) {
      DAESVarTableEntry* partner = nullptr;
      if ((f & 0x1) != 0) partner = v->GetDerivative();
      if ((f & 0x4) != 0) {
        for (DAESVarTableEntry* w : work) {
          if (w->GetDerivative() == v) partner = w;
        }
      }
      auto it = partner != nullptr ? position.find(partner) : position.end();
      if (it != position.end()) in.partner[static_cast<std::size_t>(i)] = it->second;
    }
  }
  // Step 4: requested variables.
  const auto n = static_cast<std::int32_t>(r.variables.size());
  for (std::int32_t k = 0; k < n; ++k) {
    auto it = position.find(r.variables[static_cast<std::size_t>(k)]);
    if (it == position.end()) continue;
    const auto i = static_cast<std::size_t>(it->second - 1);
    codes[i] = codes[i] == -4 || codes[i] == -2 ? -4 : 0;
    priority[i] = n - k;
    if (r.must_be_free[static_cast<std::size_t>(k)] == 1) in.must_be_free[i] = 1;
  }
  // Step 5: mode adjustments.
  Status result = 0;
  bool initial_known = false;
  for (std::int32_t i = 0; i < V; ++i) {
    const std::uint32_t f = work[static_cast<std::size_t>(i)]->GetFlags();
    if ((f & 0x1) == 0) continue;
    std::int32_t& c = codes[static_cast<std::size_t>(i)];
    const std::int32_t p = in.partner[static_cast<std::size_t>(i)];
    if (r.mode == 4) {
      if ((f & 0x80) != 0) {
        c = kCodeResult;
        initial_known = true;
      }
    } else if (r.mode == 5 || r.all != 0) {
      if (p != 0) {
        std::int32_t& pc = codes[static_cast<std::size_t>(p - 1)];
        if (c < 0 && pc == 1) {
          pc = 0;
        } else if (c == 1) {
          if (pc < 0) {
            c = 0;
          } else if (pc == 1) {
            pc = 0;
          }
        }
      }
    } else if (r.mode == 1) {
      if (c == 1) c = 0;
      if (c == -2) c = -4;
    }
  }
  if (r.mode != 4) {
    for (std::int32_t i = 0; i < V; ++i) {
      if ((work[static_cast<std::size_t>(i)]->GetFlags() & 0x20000) != 0) {
        codes[static_cast<std::size_t>(i)] = 0;
      }
    }
  }
  // Step 6: the kernel.
  PartitionKernelResult kernel;
  kernel.involved.assign(static_cast<std::size_t>(E) + 1, 0);
  kernel.count = -E;
  if (initial_known) {
    result = kPartitionInitialKnown;
  } else if (r.iterate == 0) {
    PartitionKernel(2, in, codes, &kernel);
    if (kernel.failure != 0) result = kPartitionSingular;
  } else {
    std::vector<std::int32_t> running = codes;
    const std::vector<std::int32_t> initial = codes;
    std::vector<std::int32_t> previous = running;
    if (!previous.empty()) previous[0] = 0x19191919;
    std::int32_t kept = 0;
    for (;;) {
      PartitionKernel(2, in, codes, &kernel);
      bool noted = false;
      for (std::size_t i = 0; i < codes.size(); ++i) {
        if (!IsResult(codes[i])) continue;
        noted = true;
        if (!IsResult(running[i])) {
          const std::int32_t taken = running[i];
          running[i] = codes[i];
          codes[i] = taken == -4 || taken == -2 ? -4 : 0;
        } else {
          codes[i] = running[i];
        }
      }
      const bool changed = running != previous;
      previous = running;
      // The failure of the final run is kept too.
      kept = kernel.failure;
      if (!noted || !changed) break;
    }
    codes = running;
    bool any = false;
    bool all_requested = true;
    for (std::size_t i = 0; i < codes.size(); ++i) {
      if (IsResult(codes[i])) {
        any = true;
        if (priority[i] == 0) all_requested = false;
      }
      if (initial[i] == -4 || initial[i] == 0) codes[i] = initial[i];
    }
    if ((any && all_requested) || kept != 0) result = kPartitionSingular;
  }
  // Step 7.
  if (r.mode == 5 || r.all != 0) {
    for (std::int32_t i = 0; i < V; ++i) {
      if ((work[static_cast<std::size_t>(i)]->GetFlags() & 0x1) == 0) continue;
      const std::int32_t p = in.partner[static_cast<std::size_t>(i)];
      std::int32_t& c = codes[static_cast<std::size_t>(i)];
      if (p == 0 || !IsResult(c)) continue;
      std::int32_t& pc = codes[static_cast<std::size_t>(p - 1)];
      if (pc == 2) {
        pc = 1;
      } else if (pc == -3) {
        if (c == 2) {
          c = 1;
        } else {
          pc = 1;
        }
      }
    }
  }
  // Step 8.
  std::int32_t count = kernel.count;
  if (r.mode == 4 && r.all == 0) {
    for (std::int32_t i = 0; i < V; ++i) {
      std::int32_t& c = codes[static_cast<std::size_t>(i)];
      if (c == -3 && (work[static_cast<std::size_t>(i)]->GetFlags() & 0x4) != 0) {
        c = kCodeUnderClass4;
        ++count;
        if (result == 0) result = kPartitionUnderClass4;
      }
    }
  }
  for (std::int32_t i = 0; i < V; ++i) {
    if (codes[static_cast<std::size_t>(i)] == -3 && priority[static_cast<std::size_t>(i)] != 0 &&
        result == 0) {
      result = kPartitionRequestedUnder;
    }
  }
  // Step 9: the reply.
  std::vector<std::string> list1, list2, list4;
  for (std::int32_t i = 0; i < V; ++i) {
    DAESVarTableEntry* v = work[static_cast<std::size_t>(i)];
    const std::int32_t c = codes[static_cast<std::size_t>(i)];
    if (c == -3 && in.must_be_free[static_cast<std::size_t>(i)] == 0) list1.push_back(Text(v, 11));
    if (c == 2) list2.push_back(Text(v, 14));
    if (c == -3 && in.must_be_free[static_cast<std::size_t>(i)] != 0) list4.push_back(Text(v, 11));
  }
  std::vector<std::int32_t> involved;
  for (std::int32_t e = 1; e <= E; ++e) {
    if (kernel.involved[static_cast<std::size_t>(e)] != 0) involved.push_back(e);
  }
  const Status fits = CheckReplyFits(count, {list1.size(), list2.size(), involved.size(),
                                             list4.size(), kernel.free_equations.size()});
  if (fits != 0) return fits;
  FirstFailure w;
  w.Put(reply.PutUInt32(result));
  w.Put(reply.PutUInt16(static_cast<std::uint16_t>(count)));
  w.Put(reply.PutUInt16(static_cast<std::uint16_t>(list1.size())));
  for (const std::string& t : list1) w.Put(reply.PutString(t.c_str()));
  w.Put(reply.PutUInt16(static_cast<std::uint16_t>(list2.size())));
  for (const std::string& t : list2) w.Put(reply.PutString(t.c_str()));
  w.Put(reply.PutUInt16(static_cast<std::uint16_t>(involved.size())));
  for (std::int32_t e : involved) {
    QLNRow* row = rows[static_cast<std::size_t>(e - 1)];
    w.Put(reply.PutString(row->GetNameText()));
    w.Put(reply.PutString(EquationText(row).c_str()));
  }
  w.Put(reply.PutUInt16(static_cast<std::uint16_t>(list4.size())));
  for (const std::string& t : list4) {
    SuPrint(0, "Variable %s ,must be free but there are not enough equations\n", t.c_str());
    w.Put(reply.PutString(t.c_str()));
  }
  const auto listed = static_cast<std::int32_t>(kernel.free_equations.size());
  w.Put(reply.PutUInt16(static_cast<std::uint16_t>(listed)));
  if (listed != 0) {
    std::int32_t shown = listed;
    SuPrint(0, "The following %d equations contain the previous variables\n", &shown);
  }
  for (std::int32_t e : kernel.free_equations) {
    QLNRow* row = rows[static_cast<std::size_t>(e - 1)];
    const std::string text = EquationText(row);
    SuPrint(0, "%s\n", row->GetNameText());
    SuPrint(0, "%s\n", text.c_str());
    w.Put(reply.PutString(row->GetNameText()));
    w.Put(reply.PutString(text.c_str()));
  }
  // A reply that could not be written whole is no answer, whatever it found.
  return status::IsFailure(w.status) ? w.status : result;
}
