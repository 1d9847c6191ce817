// C of a procedure call in the compiled equation library: one wrapper
// function per call, which packs the inputs, calls the procedure through
// the library's procedure table when they changed, checks the results and
// answers each equation's output from a switch on the equation; and the
// equation functions that call it.
#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "daes/equations/row_element.h"
#include "daes/procedures/proc_equation.h"
#include "expr/tree/operator_table.h"
#include "foundation/interfaces/solver_options.h"

namespace {
constexpr const char* kNotImplemented = "/*Expression not yet implemented*/";
// 0x8000028F as the signed int the generated code holds.
constexpr const char* kIndefiniteCode = "-2147482993";

std::uint32_t ArgumentRow(std::uint16_t type, bool input) {
  if (type == SUValue::kString) return input ? kStrInput : kStrOutput;
  if (type == SUValue::kInteger || type == SUValue::kLogical) return input ? kIntInput : kIntOutput;
  return input ? kInput : kOutput;
}

// The scalar element e (row-major) of argument element `element`.
DAESRowElement* Member(DAESRowElement* element, std::int32_t e) {
  if (element == nullptr) return nullptr;
  if (element->ElementKind() == daes::kScalarElement) return e == 0 ? element : nullptr;
  DAESRowElement* member = element->ElementAt(e);
  return member != element ? member : nullptr;
}
}  // namespace

std::int32_t DAESProcContext::TextTableLength() const {
  if (data_.Fortran()) return 0;
  const ProcArgLayout& in = data_.Inputs();
  std::int32_t n = 0;
  for (std::size_t k = 0; k < in.types.size(); ++k) {
    if (in.types[k] == SUValue::kString && !in.dims[k].empty()) n += in.elements[k];
  }
  return n;
}

Status DAESProcContext::WritePackCode(ExprCodeWriter& writer, std::ostream& out,
                                      std::int32_t table) {
  pack_ = daes::PackCodeState{};
  pack_.table = table;
  return WriteValueCode(writer, out, data_.Fortran() ? 1 : 0);
}

bool DAESProcContext::WriteArrayArgumentCode(ExprCodeWriter&, std::ostream& out, bool input,
                                             std::int32_t k, std::int32_t* position, std::int32_t) {
  const ProcArgLayout& layout = input ? data_.Inputs() : data_.Outputs();
  DAESRowElement* element = ArgumentElement(!input, k);
  if (k < 0 || k >= layout.ArgumentCount() || element == nullptr) return false;
  const auto kk = static_cast<std::size_t>(k);
  const std::int32_t kind = layout.kinds[kk];
  const std::uint32_t row = ArgumentRow(layout.types[kk], input);
  for (std::int32_t e = 0; e < layout.elements[kk]; ++e) {
    DAESRowElement* member = Member(element, e);
    if (member == nullptr) return false;
    const std::int32_t place = layout.Place(k, e);
    if (data_.Fortran()) {
      member->WritePackFortran(out, row, *position, place, layout.elements[kk], &pack_);
    } else {
      member->WritePackC(out, row, *position, place, layout.elements[kk], &pack_);
    }
  }
  *position += layout.elements[kk] * kind;
  return true;
}

Status DAESProcContext::WriteCallWrapper(daes::EquationCState& w, std::int32_t case_number,
                                         std::int32_t unknown, std::int32_t output_position,
                                         bool check_inputs, std::int32_t properties_id) {
  DAESProcDef* d = data_.Definition();
  const std::uint32_t options = d != nullptr ? d->Options() : 0;
  const bool derivatives = (options & procdef::kAnalyticDerivatives) != 0;
  const std::int32_t nin = data_.InputElementCount();
  const std::int32_t nout = data_.OutputElementCount();
  if (case_number == -1 && (wrapper_ == 0 || wrapper_generation_ != w.generation)) {
    wrapper_ = daes::OpenCodeSection(w, nout);
    wrapper_generation_ = w.generation;
    const std::string N = std::to_string(wrapper_);
    std::ostream& s = w.sections.back()->text;
    const ProcArgLayout& in = data_.Inputs();
    const ProcArgLayout& out = data_.Outputs();
    const std::int32_t base = w.proc_data;
    s << "int Fn" << N << "(int iEqn, int iCall)\n{double *x=g_pX;\n"
      << "  int rc = 0;\n";
    s << "  double *pdOutputs = &g_pInstance->pProcData[" << base + 1 + in.SlotCount() << "];\n";
    std::int32_t offset = base + 1 + in.SlotCount() + out.SlotCount();
    s << "  if (iCall>-1) {\n"
      << "  int *pbCalled = (int *)&g_pInstance->pProcData[" << base << "];\n"
      << "  double *pdInputs = &g_pInstance->pProcData[" << base + 1 << "];\n"
      << "  double *pdWork = &g_pInstance->pProcData[" << offset << "];\n";
    offset += data_.WorkLength();
    s << "  double *pdDeriv = &g_pInstance->pProcData[" << offset << "];\n";
    derivative_offset_ = offset;
    if (derivatives) {
      offset += nin * nout;
      s << "  if (iCall==1) memset(pdDeriv,0," << nin * nout << "*sizeof(double));\n";
    }
    auto table = [&s](const std::vector<ProcInt>& entries, bool closed) {
      // The size lists end in their own 0.
      const std::size_t n = closed && !entries.empty() ? entries.size() - 1 : entries.size();
      for (std::size_t i = 0; i < n; ++i) s << entries[i] << ",";
      s << "0}";
    };
    s << "  static int iInSizes[]={";
    table(in.sizes, true);
    s << "; static int iInOffs[]={";
    table(in.offsets, false);
    s << ";\n  static int iOutSizes[]={";
    table(out.sizes, true);
    s << "; static int iOutOffs[]={";
    table(out.offsets, false);
    s << ";\n";
    s << "  static int iNOut=" << nout << "; static int iNIn = " << nin
      << "; static int iWsize = " << data_.WorkLength() << ";\n";
    if ((options & procflag::kEveryEvaluation) == 0) {
      s << "  int bInputsChanged = (iCall==1||iCall==2||!(*pbCalled));\n";
    } else {
      s << "  int bInputsChanged = 1;\n";
    }
    // The address table of the C texts of array arguments.
    const std::int32_t text_table = offset;
    offset += TextTableLength();
    w.proc_data = offset;
    // The packing of the inputs (and outputs going in) from the call's tape.
    WritePackCode(w.expr, s, text_table);
    if (w.expr.tape.failed) w.success = false;
    s << "  if (bInputsChanged) {\n"
      << "    int iIflag=1, iPropsId=" << properties_id << ";\n";
    if (!w.properties_mode && properties_id != 0) {
      s << "    g_PropertiesInfo.GPP_SET_ID(&g_PropertiesInfo.iPropertiesID);\n";
    }
    const std::int32_t slot = d != nullptr ? d->GetProcIndex() : 0;
    s << "    GetQLNFunctionAddress(g_Functions[" << slot << "])(\n"
      << "      pdInputs,iInSizes,pdOutputs,iOutSizes,iInOffs,iOutOffs,\n"
      << "      &iIflag,&iPropsId,pdWork,&iWsize,pdDeriv,&iNOut,&iNIn,&iCall);\n"
      << "    *pbCalled = !(iCall==1||iCall==2);\n"
      << "    rc = CheckIFail(iIflag, iCall, \"" << EscapedText(data_.ProcedureName()) << "\");\n";
    WritePostCallCheck(s, check_inputs);
    // A failed call is made again at the next evaluation, which fails again.
    s << "    if (rc<0) *pbCalled = 0;\n";
    if (derivatives) {
      // The residual's derivatives: the procedure's negated, one row of
      // inputs per output.
      const std::int32_t n = nin * nout;
      s << "    if (rc>=0 && iCall==4) {\n";
      if (!data_.Fortran()) {
        // One statement per step: "*p = - *p++" reads and writes p unsequenced.
        s << "      int k=" << n << "; double *pDeriv=pdDeriv;\n"
          << "      while (k--) { *pDeriv = - *pDeriv; pDeriv++; }\n";
      } else {
        s << "      double *pD=pdDeriv,pDCopy[" << n << "];\n"
          << "      memcpy(pDCopy,pdDeriv," << n * 8 << ");\n"
          << "      for (int o=0; o<" << nout << "; o++)\n"
          << "        for (int i=0; i<" << nin << "; i++)\n"
          << "          *pD++ = -pDCopy[o+i*" << nout << "];\n";
      }
      s << "    }\n";
      s << "  }} else if (iCall==-2) {\n"
        << "    g_pDerivs = &g_pInstance->pProcData[" << derivative_offset_ << "];\n"
        << "  }\n";
    } else {
      s << "  }}\n";
    }
    s << "  switch (iEqn)\n  {\n";
    *w.out << "int Fn" << N << "(int iEqn, int iCall);\n";
    // The engine makes the pre- and post-calls of a call it keeps to
    // itself, through the procedure's own interface.
    const bool library_calls = !data_.KeptInterpreted();
    if (library_calls && (options & procdef::kPrecall) != 0) {
      w.precall << "  PRECALL(Fn" << N << "," << N << ");\n";
    }
    if (library_calls && (options & procdef::kPostcall) != 0) {
      if ((options & procdef::kPrecall) != 0) {
        w.postcall << "  if (" << N << "<iLast) {POSTCALL(Fn" << N << ");}\n";
      } else {
        w.postcall << "  if (iLast==INT_MAX) {POSTCALL(Fn" << N << ");}\n";
      }
    }
    return 0;
  }
  if (case_number < 0) return 0;
  if (wrapper_ == 0 || wrapper_generation_ != w.generation ||
      static_cast<std::size_t>(wrapper_) > w.sections.size()) {
    // No wrapper was opened for this library: nothing to call.
    *w.out << kNotImplemented;
    w.success = false;
    return 0;
  }
  const std::string N = std::to_string(wrapper_);
  const std::string k = std::to_string(case_number);
  // A failed call leaves no number for the engine to ask why.
  *w.out << "if (Fn" << N << "(" << k << (derivatives ? ",4)" : ",0)") << "<0) res=NAN; else res=x["
         << unknown << "]-res;break;\n"
         << "  case -1:Fn" << N << "(" << k
         << ",-1);break;\n"
         // The equation's own case, so that the cursor moves to its row
         // ("(0,-2)" would leave every equation at the first row).
         << "  case -2:Fn" << N << "(" << k << ",-2);";
  daes::EquationCState::Section& section = *w.sections[static_cast<std::size_t>(wrapper_ - 1)];
  std::ostream& s = section.text;
  s << "  case " << k << ": res = pdOutputs[" << output_position << "];";
  if (derivatives && output_position != 0) {
    s << "if (iCall==-2) g_pDerivs += " << output_position << "*" << nin << ";";
  }
  s << "break;\n";
  if (--section.remaining <= 0 && !section.closed) {
    s << "  default: break;\n"
      << "  }\n"
      << "  return rc;\n"
      << "}\n";
    section.closed = true;
  }
  return 0;
}

void DAESProcContext::WritePostCallCheck(std::ostream& s, bool check_inputs) {
  s << "    if (*pbCalled && rc>=0) {\n      int i;\n";
  if (check_inputs) {
    const ProcArgLayout& in = data_.Inputs();
    for (std::int32_t k = 0; k < in.ArgumentCount(); ++k) {
      if (in.types[static_cast<std::size_t>(k)] != SUValue::kReal) continue;
      DAESRowElement* element = ArgumentElement(false, k);
      for (std::int32_t e = 0; e < in.elements[static_cast<std::size_t>(k)]; ++e) {
        if (DAESRowElement* member = Member(element, e)) {
          member->WriteUnpack(s, in.SlotOf(k, e));
        }
      }
    }
  }
  const ProcArgLayout& out = data_.Outputs();
  std::int32_t first = -1, end = 0;
  auto close = [&] {
    if (first < 0) return;
    s << "      for (i=" << first << ";i<" << end << ";i++)\n"
      << "        if (!FINITE(pdOutputs[i])) rc = " << kIndefiniteCode << ";\n";
    first = -1;
  };
  for (std::int32_t k = 0; k < out.ArgumentCount(); ++k) {
    const auto kk = static_cast<std::size_t>(k);
    if (out.types[kk] != SUValue::kReal) {
      close();
      continue;
    }
    const std::int32_t start = out.SlotOf(k, 0);
    if (first < 0) first = start;
    end = start + out.elements[kk];
  }
  close();
  s << "      if (rc<0)\n"
    << "        QLN_Print(rc, \"Procedure " << EscapedText(data_.ProcedureName())
    << (check_inputs ? " returned indefinite input/output value(s)"
                     : " returned indefinite output value(s)")
    << "\");\n"
    << "    }\n";
}

void DAESProcContext::WriteJacobianCall(daes::EquationCState& w,
                                        const std::vector<std::int32_t>& columns,
                                        std::int32_t case_number, std::int32_t unknown) {
  if (wrapper_ == 0 || wrapper_generation_ != w.generation) {
    *w.out << kNotImplemented;
    w.success = false;
    return;
  }
  DAESProcDef* d = data_.Definition();
  const bool derivatives = d != nullptr && (d->Options() & procdef::kAnalyticDerivatives) != 0;
  const std::int32_t base = w.expr.tape.j_offset;
  std::vector<bool> written(columns.size(), false);
  auto position = [&columns](std::int32_t index) -> std::int32_t {
    for (std::size_t p = 0; p < columns.size(); ++p) {
      if (std::abs(columns[p]) - 1 == index) return static_cast<std::int32_t>(p);
    }
    return -1;
  };
  const std::string N = std::to_string(wrapper_);
  std::ostream& out = *w.out;
  out << "{double *J=g_pJ;";
  if (const std::int32_t p = position(unknown); p >= 0) {
    out << "J[" << base + p << "]=1.0;";
    written[static_cast<std::size_t>(p)] = true;
  }
  out << " Fn" << N << "(" << case_number
      << (derivatives ? ",-2); " : ",-1); double oldOutput=res;");
  const ProcArgLayout& in = data_.Inputs();
  for (std::int32_t k = 0; k < in.ArgumentCount(); ++k) {
    if (in.types[static_cast<std::size_t>(k)] != SUValue::kReal) continue;
    DAESRowElement* element = ArgumentElement(false, k);
    for (std::int32_t e = 0; e < in.elements[static_cast<std::size_t>(k)]; ++e) {
      // The derivative row holds every input element, in the call's order.
      if (DAESRowElement* member = Member(element, e)) {
        member->WriteJacobianEntry(out, columns, base, &written,
                                   derivatives ? in.ElementNumber(k, e) : -1, case_number,
                                   wrapper_);
      }
    }
  }
  // Columns the call gives nothing for hold 0.
  std::string zeros;
  for (std::size_t p = 0; p < columns.size(); ++p) {
    if (!written[p]) zeros += "J[" + std::to_string(base + static_cast<std::int32_t>(p)) + "]=";
  }
  if (!zeros.empty()) out << zeros << "0;";
  out << "}";
}

// --- the equations of the call ---

void DAESProcSolverEquation::WriteFunctionHead(daes::EquationCState& w, std::int32_t part) {
  const DAESProcDef* d = context_->Data().Definition();
  const std::uint32_t options = d != nullptr ? d->Options() : 0;
  const bool check_inputs = (GetFlags() & 0x8) != 0 &&
                            SolverOptions::Instance()->GetInt(kOptTearing) != 0 &&
                            (options & procflag::kReturnsInputs) != 0;
  const std::int32_t properties = (options & procdef::kPropertiesId) != 0
                                      ? static_cast<std::int32_t>(context_->Data().PropertiesId())
                                      : 0;
  context_->WriteCallWrapper(w, part == 0 ? -1 : -2, 0, 0, check_inputs, properties);
  w.residual_label = false;
  if (part == 0) DAESSolverEquation::WriteFunctionHead(w, part);
}

void DAESProcSolverEquation::WriteCaseLabel(daes::EquationCState& w, std::int32_t task) {
  if (task == daes::kTaskJacobian) w.case_count = 0;
  const std::int32_t label = task == daes::kTaskResetState ? 0 : task;
  // The residual's label once: the reset task shares it.
  if (label == 0 && w.residual_label) return;
  if (label == 0) w.residual_label = true;
  *w.out << "  case " << label << ":";
}

Status DAESProcSolverEquation::WriteResidualCode(daes::EquationCState& w) {
  if (!context_->HasTape()) {
    *w.out << kNotImplemented;
    w.success = false;
    return 0;
  }
  SetCompiledNumber(static_cast<std::uint32_t>(w.equation));
  if (w.task_switch) *w.out << " switch(task) { case 0: ";
  const std::int32_t unknown = output_ != nullptr ? output_->SolverIndex() : -1;
  const Status s = context_->WriteCallWrapper(w, w.equation, unknown, output_position_, false, 0);
  ++w.case_count;
  if (w.task_switch) *w.out << " break; }";
  return s;
}

Status DAESProcSolverEquation::WriteJacobianCode(daes::EquationCState& w,
                                                 const std::vector<std::int32_t>& pattern) {
  if (!context_->HasTape()) {
    *w.out << kNotImplemented;
    w.success = false;
    return 0;
  }
  const std::int32_t unknown = output_ != nullptr ? output_->SolverIndex() : -1;
  context_->WriteJacobianCall(w, pattern, w.equation, unknown);
  ++w.case_count;
  return 0;
}
