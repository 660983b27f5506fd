// Headers as other programs write them: junk in the reserved bytes, character fields of 255 and
// 256+ bytes (high byte of the length where decimals go), a phantom descriptor of no bytes after
// the last field. Each table opens, reads as an independent reader reads it, and survives a
// rebuild with every value kept; a rebuild writes a clean header.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/dbase/dbase.h"
#include "engine/error.h"
#include "engine/storage.h"
#include "tests/engine/dbase_test_util.h"
#include "tests/support/helpers.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace {

using engine::Value;
using testing_support::ReadFileBytes;
using testing_support::RunCommand;
using testing_support::ShellQuote;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

using testing_support::Tabla;

size_t U16(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<size_t>(static_cast<uint8_t>(b[at + 1])) << 8;
}

// A level-4 table with a character field of `width` bytes (written the way other programs
// write long ones) between two ordinary fields, and a few rows that fill it.
std::string MakeTable(const TempDir& dir, const std::string& file, uint16_t width) {
  std::string path = dir / file;
  engine::TableDefinition def;
  def.level = 4;
  def.codepage = 1252;
  def.sizes_as_stored = width > 254;
  using dbase_test::Spec;
  def.fields = {Spec("CODIGO", bde::fldDBCHAR, 6), Spec("TEXTO", bde::fldDBCHAR, width),
                Spec("SALDO", bde::fldDBNUM, 10, 2)};
  engine::CreateStorage(path, def);
  auto t = engine::dbase::Open(path, engine::OpenOptions{}, false);
  for (int i = 0; i < 5; ++i) {
    std::string buf = t->BlankRecord();
    t->SetValue(&buf, 0, Value::Text(testing_support::Numbered("C", i)));
    std::string text = testing_support::Numbered("Línea ", i) + " ";
    while (text.size() + 10 < width) text += "ñandú ";
    t->SetValue(&buf, 1, Value::Text(text + "fin"));
    t->SetValue(&buf, 2, Value::Number(i * 1.5, std::to_string(i * 3) + ".50"));
    t->AppendRecord(buf);
  }
  t->Flush();
  return path;
}

std::vector<std::string> Rows(const std::string& path) {
  auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
  std::vector<std::string> out;
  std::string buf;
  for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
    t->ReadRecord(r, &buf);
    std::string row;
    for (size_t f = 0; f < 3; ++f) row += t->GetValue(buf, static_cast<int>(f)).ToDisplay() + "|";
    out.push_back(row);
  }
  return out;
}

void ExpectIndependentReadersAgree(const std::string& path, const std::string& label) {
  auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
  auto diff = dbase_test::CompareWithDbfread(*t, "cp1252");
  if (diff) {
    EXPECT_EQ(*diff, "") << label;
  }
}

TEST(ForeignHeader, LongCharacterFieldsReadAndSurviveARebuild) {
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  TempDir dir;
  for (uint16_t width : {uint16_t{255}, uint16_t{256}, uint16_t{700}}) {
    std::string path = MakeTable(dir, testing_support::Numbered("LARGO", width) + ".DBF", width);
    std::string bytes = ReadFileBytes(path);
    // The descriptor as other programs write it: low byte in 16, high byte in 17.
    EXPECT_EQ(static_cast<uint8_t>(bytes[64 + 16]), width & 0xFF) << width;
    EXPECT_EQ(static_cast<uint8_t>(bytes[64 + 17]), width >> 8) << width;
    auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
    EXPECT_EQ(t->Fields()[1].size, width);
    t.reset();
    ExpectIndependentReadersAgree(path, std::to_string(width));
    std::vector<std::string> before = Rows(path);
    ASSERT_EQ(before.size(), 5u);
    EXPECT_NE(before[4].find("fin|"), std::string::npos) << before[4];
    auto r = RunCommand(Tabla() + " restructure " + ShellQuote(path) + " --add EXTRA:N:5 2>&1");
    ASSERT_EQ(r.status, 0) << width << ": " << r.out;
    EXPECT_EQ(Rows(path), before) << width;
    ExpectIndependentReadersAgree(path, std::to_string(width) + " rebuilt");
  }
  // A new field of that width is still refused.
  std::string path = MakeTable(dir, "NUEVO.DBF", 20);
  auto r = RunCommand(Tabla() + " restructure " + ShellQuote(path) + " --add OTRO:C:300 2>&1");
  EXPECT_NE(r.status, 0) << r.out;
}

// A descriptor of no bytes and the given type inserted before the terminator (or, with
// `before_last`, before the last field); the header grows by 32.
std::string WithEmptyDescriptor(std::string bytes, char type, bool before_last = false) {
  size_t header = U16(bytes, 8);
  std::string phantom(32, '\0');
  phantom.replace(0, 7, "_NULLFL");
  phantom[11] = type;
  bytes.insert(before_last ? header - 1 - 32 : header - 1, phantom);
  header += 32;
  bytes[8] = static_cast<char>(header & 0xFF);
  bytes[9] = static_cast<char>(header >> 8);
  return bytes;
}

TEST(ForeignHeader, ReservedBytesAndAPhantomFieldAreReadPastAndARebuildWritesACleanHeader) {
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  TempDir dir;
  // The types other writers leave in that last empty descriptor.
  for (char type : {'0', static_cast<char>(0xD8), '\0', '('}) {
    SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(type)));
    std::string path = MakeTable(dir, testing_support::Numbered("RESTOS", static_cast<unsigned char>(type)) + ".DBF", 30);
    std::vector<std::string> before = Rows(path);
    std::string bytes = WithEmptyDescriptor(ReadFileBytes(path), type);
    // Junk in the reserved bytes 12 to 27, byte 15 included (0x01 there would mean encrypted).
    for (size_t i = 12; i < 28; ++i) bytes[i] = static_cast<char>(0x30 + i);
    bytes[15] = static_cast<char>(0xF6);
    WriteFileBytes(path, bytes);

    auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
    EXPECT_EQ(t->Fields().size(), 3u);
    t.reset();
    EXPECT_EQ(Rows(path), before);
    if (testing_support::HaveDbfDump()) {
      auto dump = RunCommand("dbf_dump " + ShellQuote(path) + " 2>&1");
      EXPECT_EQ(dump.status, 0) << dump.out;
      EXPECT_NE(dump.out.find("C4"), std::string::npos) << dump.out;
    }

    auto r = RunCommand(Tabla() + " restructure " + ShellQuote(path) + " --add EXTRA:N:5 2>&1");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Rows(path), before);
    bytes = ReadFileBytes(path);
    // The rebuilt header: reserved bytes zero (a leftover transaction or encryption mark would
    // mislead the next program), the phantom gone, four real fields.
    for (size_t i = 12; i < 28; ++i) EXPECT_EQ(bytes[i], '\0') << "byte " << i;
    EXPECT_EQ(U16(bytes, 8), 32u + 32u * 4u + 1u);
    EXPECT_EQ(bytes.find("_NULLFL"), std::string::npos);

    // 0x01 in byte 15 still refuses the table.
    bytes[15] = 0x01;
    WriteFileBytes(path, bytes);
    try {
      engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
      ADD_FAILURE() << "an encrypted table opened";
    } catch (const engine::EngineError& e) {
      EXPECT_EQ(e.code(), engine::err::kEncrypted);
    }
  }
  // An empty descriptor of an unknown type anywhere but last is still refused.
  std::string path = MakeTable(dir, "MEDIO.DBF", 30);
  WriteFileBytes(path, WithEmptyDescriptor(ReadFileBytes(path), '(', true));
  try {
    engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
    ADD_FAILURE() << "an empty descriptor between fields was read past";
  } catch (const engine::EngineError& e) {
    EXPECT_NE(std::string(e.what()).find("tipo desconocido (código 40)"), std::string::npos) << e.what();
  }
}

TEST(ForeignHeader, TagsFilteredByLogicalWordsOpenRestructureAndCheckClean) {
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  TempDir dir;
  std::string path = dir / "FILTROS.DBF";
  engine::TableDefinition def;
  def.level = 4;
  def.codepage = 1252;
  using dbase_test::Spec;
  def.fields = {Spec("CODIGO", bde::fldDBCHAR, 6), Spec("SALDO", bde::fldDBNUM, 10, 2)};
  def.tags = {{"NINGUNO", "CODIGO", ".FALSE.", 'C', false, false},
              {"TODOS", "CODIGO", ".TRUE. .AND. .NOT. .N.", 'C', false, false}};
  engine::CreateStorage(path, def);
  {
    auto t = engine::dbase::Open(path, engine::OpenOptions{}, false);
    for (int i = 0; i < 20; ++i) {
      std::string buf = t->BlankRecord();
      t->SetValue(&buf, 0, Value::Text(std::string("K").append(std::to_string(20 - i))));
      t->AppendRecord(buf);
    }
    t->Flush();
  }
  auto r = RunCommand(Tabla() + " restructure " + ShellQuote(path) + " --add EXTRA:N:5 2>&1");
  ASSERT_EQ(r.status, 0) << r.out;
  auto check = RunCommand(Tabla() + " check " + ShellQuote(path) + " 2>&1");
  EXPECT_EQ(check.status, 0) << check.out;
  auto t = engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
  auto count = [&](const std::string& tag) {
    auto w = t->WalkTag(tag, std::nullopt);
    uint64_t rec = 0, n = 0;
    while (w->Next(&rec)) ++n;
    return n;
  };
  EXPECT_EQ(count("NINGUNO"), 0u);
  EXPECT_EQ(count("TODOS"), 20u);
}

}  // namespace
