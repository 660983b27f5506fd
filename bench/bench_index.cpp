// Building a production index over a 1,000,000-row table on one character field, against
// reading every row of the table once through the dBASE storage (field decoded). Target: build
// <= 1.5 x that walk, in byte order and under a Spanish language driver.
//
// Usage: bench_index [ROWS] [FOLDER]   (defaults: 1000000, /tmp)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "engine/collation.h"
#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/storage.h"

namespace {

// A dBASE IV table (no memo) with NOMBRE C(30) and IMPORTE N(12,2), written directly.
void WriteTable(const std::string& path, uint64_t rows) {
  const int name_len = 30, num_len = 12;
  std::string h(32, '\0');
  h[0] = 0x03;
  h[1] = 126; h[2] = 1; h[3] = 1;
  auto n = static_cast<uint32_t>(rows);
  std::memcpy(&h[4], &n, 4);
  uint16_t hl = 32 + 2 * 32 + 1, rl = 1 + name_len + num_len;
  std::memcpy(&h[8], &hl, 2);
  std::memcpy(&h[10], &rl, 2);
  h[29] = 0x57;
  std::string d(32, '\0');
  std::memcpy(&d[0], "NOMBRE", 6);
  d[11] = 'C';
  d[16] = name_len;
  h += d;
  d.assign(32, '\0');
  std::memcpy(&d[0], "IMPORTE", 7);
  d[11] = 'N';
  d[16] = num_len;
  d[17] = 2;
  h += d;
  h += '\x0D';
  auto f = engine::CurrentFileSystem()->Open(path, engine::OpenMode::kCreate);
  f->WriteAt(0, h.data(), h.size());
  std::mt19937 rng(2026);
  static const char* const kWords[] = {"GARCIA", "LOPEZ", "MARTIN", "PEREZ", "SANCHEZ", "GOMEZ", "DIAZ", "RUIZ"};
  std::string block;
  uint64_t off = h.size();
  char rec[64];
  for (uint64_t r = 0; r < rows; ++r) {
    std::snprintf(rec, sizeof rec, " %-8s %-8s %010u%12.2f", kWords[rng() % 8], kWords[rng() % 8],
                  static_cast<unsigned>(rng()), static_cast<double>(rng() % 100000000) / 100.0);
    block.append(rec, rl);
    if (block.size() > (1 << 22)) {
      f->WriteAt(off, block.data(), block.size());
      off += block.size();
      block.clear();
    }
  }
  block += '\x1A';
  f->WriteAt(off, block.data(), block.size());
  f->Sync();  // on disk before anything is measured, so that write-back does not disturb it
}

class StorageRows : public engine::dbase::RecordSource, public engine::dbase::RecordView {
 public:
  explicit StorageRows(engine::TableStorage& t) : t_(t) {}
  uint64_t Count() override { return t_.RecordCount(); }
  const engine::dbase::RecordView& Row(uint64_t recno) override {
    recno_ = recno;
    t_.ReadRecord(recno, &buf_);
    return *this;
  }
  uint64_t RecNo() const override { return recno_; }
  bool Deleted() const override { return t_.IsDeleted(buf_); }
  std::string_view Record() const override { return buf_; }
  size_t BeginRecordCopies() override { return t_.BeginRecordCopies() ? t_.RecordLength() : 0; }
  void CopyRecords(uint64_t first, size_t n, char* out) const override { t_.CopyRecords(first, n, out); }
  engine::Value Field(const std::string& name) const override { return t_.GetValue(buf_, Index(name)); }
  std::string RawText(const std::string& name) const override {
    const engine::FieldSpec& f = t_.Fields()[static_cast<size_t>(Index(name))];
    return buf_.substr(f.offset, f.length);
  }

 private:
  int Index(const std::string& name) const { return name == "NOMBRE" ? 0 : 1; }
  engine::TableStorage& t_;
  std::string buf_;
  uint64_t recno_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  uint64_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  std::string dir = argc > 2 ? argv[2] : "/tmp";
  std::string dbf = engine::JoinPath(dir, "BENCHIDX.DBF"), mdx = engine::JoinPath(dir, "BENCHIDX.MDX");
  try {
    double t0 = bench::Now();
    WriteTable(dbf, rows);
    double t1 = bench::Now();
    engine::OpenOptions opts;
    opts.read_only = true;
    auto table = engine::OpenStorage(dbf, engine::TableFormat::kDbase, opts);
    StorageRows source(*table);
    // Each measurement is taken in every round, one after the other, so that each build is
    // compared with the walk measured just before it.
    std::vector<double> raw_t, decoded_t, build_t, spanish_t;
    // The same build under a language driver that is not byte order.
    const engine::Collation& spanish = *engine::FindCollation("DBWINES0");
    size_t checksum = 0;
    engine::FileSystem* fs = engine::CurrentFileSystem();
    fs->Remove(mdx);  // a file of an earlier run
    for (int round = 0; round < bench::kRounds; ++round) {
      // Read every row once, as a scan of the table does (record and the key field's text).
      double t2 = bench::Now();
      for (uint64_t r = 1; r <= source.Count(); ++r) checksum += source.Row(r).RawText("NOMBRE")[1];
      double t3 = bench::Now();
      // The same walk decoding the field as callers see it (UTF-8 text).
      for (uint64_t r = 1; r <= source.Count(); ++r) checksum += source.Row(r).Field("NOMBRE").s.size();
      double t4 = bench::Now();
      // Each build writes a new index file, as a restructure does in its work folder: the
      // previous round's file is removed first, outside the time.
      fs->Remove(mdx);
      const double built_from = bench::Now();
      engine::dbase::MdxIndex::Create(mdx, "BENCHIDX", {{"NOMBRE", "NOMBRE", "", 'C', false, false}},
                                      table->Fields(), table->Codepage(), source);
      double t5 = bench::Now();
      fs->Remove(mdx);
      double t6 = bench::Now();
      engine::dbase::MdxIndex::Create(mdx, "BENCHIDX", {{"NOMBRE", "NOMBRE", "", 'C', false, false}},
                                      table->Fields(), table->Codepage(), source, spanish);
      spanish_t.push_back(bench::Now() - t6);
      raw_t.push_back(t3 - t2);
      decoded_t.push_back(t4 - t3);
      build_t.push_back(t5 - built_from);
    }
    double t5 = bench::Now();
    auto idx = engine::dbase::MdxIndex::Open(mdx, table->Fields(), table->Codepage(), false);
    auto w = idx->Walk("NOMBRE", std::nullopt);
    uint64_t recno = 0, walked = 0;
    while (w->Next(&recno)) ++walked;
    double t6 = bench::Now();
    std::printf("rows: %llu (checksum %zu), table written in %.3f s\n", static_cast<unsigned long long>(rows), checksum,
                t1 - t0);
    bench::PrintTimes("read rows, raw field:", raw_t);
    bench::PrintTimes("read rows, decoded (baseline):", decoded_t);
    bench::PrintTimes("build index, byte order:", build_t);
    bench::PrintTimes("build index, DBWINES0:", spanish_t);
    std::printf("walk index: %.3f s (%llu keys)\n", t6 - t5, static_cast<unsigned long long>(walked));
    bench::Result("index build / decoded walk", 1.5, bench::Ratios(build_t, decoded_t));
    bench::Result("index build DBWINES0 / decoded walk", 1.5, bench::Ratios(spanish_t, decoded_t));
    engine::CurrentFileSystem()->Remove(dbf);
    engine::CurrentFileSystem()->Remove(mdx);
    return walked == rows ? 0 : 1;
  } catch (const engine::EngineError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
