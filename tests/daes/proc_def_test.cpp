// Procedure definitions: the suffix rules, the three stored forms and their
// refusal of damaged input, the FIND_PROC lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>

#include "daes/procedures/proc_def.h"
#include "foundation/collections/factory.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/memory_stream.h"
#include "framework/messaging/message.h"
#include "tests/framework/message_helpers.h"

namespace {

using testsupport::Bytes;

// A C procedure with a real input x, a 2 x 3 real array a, a text output.
void Fill(SUProcDef& d) {
  d.SetLanguage(procdef::kLanguageC);
  d.SetImplementationName("flash");
  d.SetLibrary("\"props.DLL\"");
  d.SetSourceFile("flash", false);
  d.SetInterfaceVersion(4);
  d.SetOptions(0x12);
  d.SetArgumentCounts(2, 1);
  d.SetInputDescriptor(0, procdef::kReal);
  d.SetInputDescriptor(1, 0x200 | procdef::kReal);
  d.SetOutputDescriptor(0, procdef::kString);
  d.SetInputName(0, "x");
  d.SetOutputName(0, "phase");
  d.SetSavedInputName(1, "a");
  d.AddInputFlags(1, 0x1);
  d.SetInputDimName(1, 0, "n");
}

Bytes DefinitionBytes(const SUProcDef& d) {
  DseMessage m(60, DseMessage::kRequest);
  EXPECT_EQ(d.WriteDefinition(m), 0u);
  return testsupport::BodyOf(m);
}

TEST(ProcDef, DefaultsAndSuffixRules) {
  SUProcDef d;
  EXPECT_EQ(d.Language(), procdef::kLanguageFortran);
  EXPECT_EQ(d.InterfaceVersion(), 2u);
  EXPECT_EQ(d.Options(), 0u);
  EXPECT_EQ(d.InputCount(), 0);

  // A quoted ".f90" for FORTRAN: no suffix added.
  d.SetSourceFile("\"model.f90\"", false);
  EXPECT_EQ(d.PlainSource(), "model.f90");
  EXPECT_EQ(d.BaseLength(), 0u);
  // For C the default suffix is added and shown.
  d.SetLanguage(procdef::kLanguageC);
  d.SetSourceFile("\"model.f90\"", false);
  EXPECT_EQ(d.SourceFile(), "model.f90.c");
  EXPECT_EQ(d.BaseLength(), 9u);
  // The message path: the old language's suffix, then the new language's,
  // hidden.
  SUProcDef m;
  m.SetSourceFile("model.f90", false);
  m.SetLanguage(procdef::kLanguageC);
  EXPECT_EQ(m.SourceFile(), "model.f90");
  EXPECT_EQ(m.ShownSourceFile(), "model.f90.c");
  // Keep (or option 0x100) turns suffix handling off.
  SUProcDef k;
  k.SetSourceFile("int f() {}", true);
  EXPECT_EQ(k.Options() & procdef::kSourceIsText, procdef::kSourceIsText);
  k.SetLanguage(procdef::kLanguageC);
  EXPECT_EQ(k.BaseLength(), 0u);
  EXPECT_EQ(k.ShownSourceFile(), "int f() {}");

  EXPECT_TRUE(SUProcDef::HasLanguageSuffix(procdef::kLanguageCpp, ".C"));
  EXPECT_TRUE(SUProcDef::HasLanguageSuffix(procdef::kLanguageFortran, ".F77"));
  EXPECT_FALSE(SUProcDef::HasLanguageSuffix(procdef::kLanguageUnknown, ".c"));
  EXPECT_FALSE(SUProcDef::HasLanguageSuffix(procdef::kLanguageC, nullptr));
  EXPECT_STREQ(SUProcDef::LanguageName(3), "C++");
  EXPECT_STREQ(SUProcDef::LanguageName(9), "Unknown");

  d.SetLibrary("\"x.DLL\"");
  EXPECT_EQ(d.Library(), "x");
  d.SetLibrary("y.lib");
  EXPECT_EQ(d.Library(), "y.lib");
  d.SetLibrary("lib/z.so");
  EXPECT_EQ(d.Library(), "lib/z");
  d.SetLibrary(nullptr);
  EXPECT_EQ(d.Library(), "");
  EXPECT_STREQ(d.GetInputDimName(0, 0), "*");
}

// What a call's code reads of its definition: each argument's descriptor
// as its kind and its dimension count (non-zero for an array); no argument
// path of its own.
TEST(ProcDef, CallsReadTheArgumentDescriptorsAsTwoBytesEach) {
  DAESProcDef d;
  Fill(d);
  const ProcedureDefinition& face = d;
  EXPECT_EQ(face.ArgumentDescriptions(false),
            (std::vector<std::uint8_t>{procdef::kReal, 0, procdef::kReal, 2}));
  EXPECT_EQ(face.ArgumentDescriptions(true), (std::vector<std::uint8_t>{procdef::kString, 0}));
  EXPECT_EQ(face.ArgumentPath(), nullptr);
  EXPECT_EQ(face.OptionByte(), 0x12);
  EXPECT_EQ(face.InterfaceFlag(), 1);
}

TEST(ProcDef, MessageFormRoundTripsAndTheCSuffixStaysHidden) {
  SUProcDef d;
  Fill(d);
  auto message = testsupport::ReceivedBody(DefinitionBytes(d));
  SUProcDef r;
  EXPECT_FALSE(status::IsFailure(r.ReadDefinition(*message)));
  EXPECT_EQ(r.ImplementationName(), "flash");
  EXPECT_EQ(r.Library(), "props");
  EXPECT_EQ(r.PlainSource(), "flash");
  EXPECT_EQ(r.SourceFile(), "flash");
  EXPECT_EQ(r.ShownSourceFile(), "flash.c");
  EXPECT_EQ(r.Language(), procdef::kLanguageC);
  EXPECT_EQ(r.InterfaceVersion(), 4u);
  EXPECT_EQ(r.Options(), 0x12u);
  ASSERT_EQ(r.InputCount(), 2);
  ASSERT_EQ(r.OutputCount(), 1);
  EXPECT_STREQ(r.InputName(0), "x");
  EXPECT_EQ(r.InputName(1), nullptr);
  EXPECT_STREQ(r.OutputName(0), "phase");
  EXPECT_EQ(r.InputDescriptor(1), 0x204);
  EXPECT_EQ(r.InputFlags(1), 1u);
  EXPECT_STREQ(r.GetInputDimName(1, 0), "n");
  EXPECT_STREQ(r.GetInputDimName(1, 1), "*");
  EXPECT_EQ(DefinitionBytes(r), DefinitionBytes(d));
}

TEST(ProcDef, BinaryAndStreamFormsRoundTrip) {
  SUProcDef d;
  Fill(d);
  // Binary: counts and descriptors, version 2, no names.
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ClFileStream stream(file);
  d.SaveToFile(stream);
  std::rewind(file);
  SUProcDef b;
  b.RestoreFromFile(stream);
  std::fclose(file);
  EXPECT_EQ(b.ImplementationName(), "flash");
  EXPECT_EQ(b.Library(), "props");
  EXPECT_EQ(b.ShownSourceFile(), "flash.c");
  EXPECT_EQ(b.InterfaceVersion(), 2u);
  ASSERT_EQ(b.InputCount(), 2);
  EXPECT_EQ(b.InputDescriptor(1), 0x204);
  EXPECT_EQ(b.OutputDescriptor(0), procdef::kString);
  EXPECT_EQ(b.InputName(0), nullptr);

  // Virtual stream of a version-4 definition: saved names, flags and
  // dimension names; "*" is written as length 0 and stays missing.
  ClMemoryOutStream out;
  d.SaveToVStream(out);
  ClMemoryInStream in(out.Text());
  SUProcDef v;
  v.RestoreFromVStream(in);
  EXPECT_TRUE(in.Good());
  EXPECT_EQ(v.InterfaceVersion(), 4u);
  EXPECT_STREQ(v.SavedInputName(1), "a");
  EXPECT_EQ(v.SavedInputName(0), nullptr);
  EXPECT_EQ(v.InputFlags(1), 1u);
  EXPECT_STREQ(v.GetInputDimName(1, 0), "n");
  EXPECT_STREQ(v.GetInputDimName(1, 1), "*");
  ClMemoryOutStream again;
  v.SaveToVStream(again);
  EXPECT_EQ(again.Text(), out.Text());

  // The older form: no -1 mark, the source length first, no saved names.
  ClMemoryOutStream old;
  old.PutI32(5);
  old.PutBytes("model", 5);
  old.PutI32(0);  // library
  old.PutU32(2);
  old.PutI32(0);
  old.PutI32(0);  // version 0 becomes 2
  old.PutI32(1);
  old.PutBytes("m", 1);
  old.PutI32(1);
  old.PutI32(0);
  old.PutI16(procdef::kReal);
  ClMemoryInStream old_in(old.Text());
  SUProcDef o;
  o.RestoreFromVStream(old_in);
  EXPECT_TRUE(old_in.Good());
  EXPECT_EQ(o.PlainSource(), "model");
  EXPECT_EQ(o.InterfaceVersion(), 2u);
  EXPECT_EQ(o.InputCount(), 1);

  // The factory makes the class by its id; the copy keeps names, not saved names.
  std::unique_ptr<ClCollectable> made(CreateByClassId(procdef::kClassId));
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->ClassId(), procdef::kClassId);
  SUProcDef c(v);
  EXPECT_EQ(c.SavedInputName(1), nullptr);
  EXPECT_STREQ(c.GetInputDimName(1, 0), "*");
  EXPECT_EQ(c.InputFlags(1), 1u);
}

TEST(ProcDef, DamagedFormsAreRefusedAndLeaveTheDefinition) {
  SUProcDef d;
  Fill(d);
  const Bytes whole = DefinitionBytes(d);
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    auto message = testsupport::ReceivedBody(Bytes(whole.begin(), whole.begin() + cut));
    SUProcDef r;
    EXPECT_TRUE(status::IsFailure(r.ReadDefinition(*message))) << cut;
  }
  // A name of 256 characters does not fit the message form's buffer.
  SUProcDef long_name;
  Fill(long_name);
  long_name.SetInputName(0, std::string(256, 'x').c_str());
  auto message = testsupport::ReceivedBody(DefinitionBytes(long_name));
  SUProcDef r;
  EXPECT_TRUE(status::IsFailure(r.ReadDefinition(*message)));
  long_name.SetInputName(0, std::string(255, 'x').c_str());
  message = testsupport::ReceivedBody(DefinitionBytes(long_name));
  EXPECT_FALSE(status::IsFailure(r.ReadDefinition(*message)));

  ClMemoryOutStream out;
  d.SaveToVStream(out);
  for (std::size_t cut = 0; cut + 1 < out.Text().size(); cut += 3) {
    ClMemoryInStream in(out.Text().substr(0, cut));
    SUProcDef v;
    v.RestoreFromVStream(in);
    EXPECT_FALSE(in.Good()) << cut;
    EXPECT_EQ(v.InputCount(), 0) << cut;  // as it was
  }
  ClMemoryOutStream huge;
  huge.PutI32(-1);
  huge.PutI32(0x7FFFFFFF);  // a source length beyond any stored text
  ClMemoryInStream huge_in(huge.Text());
  SUProcDef h;
  h.RestoreFromVStream(huge_in);
  EXPECT_FALSE(huge_in.Good());

  // Seeded random bytes never break the three readers.
  std::mt19937 random(40);
  for (int round = 0; round < 300; ++round) {
    Bytes bytes(whole);
    const int flips = 1 + static_cast<int>(random() % 8);
    for (int f = 0; f < flips; ++f)
      bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
    if (round % 3 == 0) bytes.resize(random() % (bytes.size() + 1));
    SUProcDef x;
    auto m = testsupport::ReceivedBody(bytes);
    x.ReadDefinition(*m);
    std::string text(out.Text());
    for (int f = 0; f < flips; ++f) text[random() % text.size()] = static_cast<char>(random());
    ClMemoryInStream in(text);
    SUProcDef y;
    y.RestoreFromVStream(in);
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    ClFileStream stream(file);
    SUProcDef z;
    z.RestoreFromFile(stream);
    std::fclose(file);
  }
}

TEST(ProcDef, FindProcLinesOncePerGeneration) {
  SetFindProcBase(1);
  FindProcGenerator g;
  std::ostringstream text;
  g.out = &text;
  SUProcDef a, b, c, e;
  a.SetImplementationName("f3");
  a.SetInterfaceVersion(3);
  a.SetLibrary("dir\\lib\"x\".dll");
  b.SetImplementationName("f2");
  // A name from the model that would close its literal and add a call.
  c.SetImplementationName("cfun\", 0); system(\"id\n");
  c.SetLanguage(procdef::kLanguageC);
  c.SetLibrary("cl");
  a.WriteFindProc(g);
  b.WriteFindProc(g);
  c.WriteFindProc(g);
  a.WriteFindProc(g);  // no second line in the same generation
  EXPECT_EQ(text.str(),
            "  FIND_PROC(0,\"QLN13_f3\", \"dir\\\\lib\\\"x\\\"\");\n"
            "  FIND_PROC(1,\"SU55IF_f2\", \"AnonymousDLL\");\n"
            "  FIND_PROC(2,\"cfun\\\", 0); system(\\\"id\\n\", \"cl\");\n");
  EXPECT_EQ(g.libraries.count("dir\\lib\"x\""), 1u);
  EXPECT_EQ(g.libraries.count("AnonymousDLL"), 1u);
  EXPECT_EQ(a.GetProcIndex(), 0);
  EXPECT_EQ(c.GetProcIndex(), 2);
  // The next generation numbers them again.
  SetFindProcBase(g.counter);
  e.SetImplementationName("e");
  FindProcGenerator next;
  next.counter = FindProcBase();
  a.WriteFindProc(next);
  EXPECT_EQ(a.GetProcIndex(), 0);
  SetFindProcBase(1);

  std::int32_t status = 0;
  EXPECT_EQ(e.Call(&status), 0xA000FFFFu);
  EXPECT_EQ(status, 4);
}

}  // namespace
