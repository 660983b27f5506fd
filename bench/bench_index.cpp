// Building a production index over a 1,000,000-row table on one character field, against
// reading every row of the table once through the dBASE storage. Target: build <= 3 x read.
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

#include "engine/collation.h"
#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/storage.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

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
    auto t0 = Clock::now();
    WriteTable(dbf, rows);
    auto t1 = Clock::now();
    engine::OpenOptions opts;
    opts.read_only = true;
    auto table = engine::OpenStorage(dbf, engine::TableFormat::kDbase, opts);
    StorageRows source(*table);
    // Each measurement is taken three times, alternating, and the median is kept: one slow
    // run on a busy machine does not decide the ratio.
    std::vector<double> raw_t, decoded_t, build_t, spanish_t;
    // The same build under a language driver that is not byte order (keys sorted by weights).
    const engine::Collation& spanish = *engine::FindCollation("DBWINES0");
    size_t checksum = 0;
    for (int round = 0; round < 3; ++round) {
      // Read every row once, as a scan of the table does (record and the key field's text).
      auto t2 = Clock::now();
      for (uint64_t r = 1; r <= source.Count(); ++r) checksum += source.Row(r).RawText("NOMBRE")[1];
      auto t3 = Clock::now();
      // The same walk decoding the field as callers see it (UTF-8 text).
      for (uint64_t r = 1; r <= source.Count(); ++r) checksum += source.Row(r).Field("NOMBRE").s.size();
      auto t4 = Clock::now();
      engine::dbase::MdxIndex::Create(mdx, "BENCHIDX", {{"NOMBRE", "NOMBRE", "", 'C', false, false}},
                                      table->Fields(), table->Codepage(), source);
      auto t5 = Clock::now();
      engine::dbase::MdxIndex::Create(mdx, "BENCHIDX", {{"NOMBRE", "NOMBRE", "", 'C', false, false}},
                                      table->Fields(), table->Codepage(), source, spanish);
      spanish_t.push_back(Seconds(t5, Clock::now()));
      raw_t.push_back(Seconds(t2, t3));
      decoded_t.push_back(Seconds(t3, t4));
      build_t.push_back(Seconds(t4, t5));
    }
    auto t5 = Clock::now();
    auto idx = engine::dbase::MdxIndex::Open(mdx, table->Fields(), table->Codepage(), false);
    auto w = idx->Walk("NOMBRE", std::nullopt);
    uint64_t recno = 0, walked = 0;
    while (w->Next(&recno)) ++walked;
    auto t6 = Clock::now();
    double raw = Median(raw_t), decoded = Median(decoded_t), build = Median(build_t), collated = Median(spanish_t);
    std::printf("rows: %llu (checksum %zu)\n", static_cast<unsigned long long>(rows), checksum);
    std::printf("write table:             %8.3f s\n", Seconds(t0, t1));
    std::printf("read rows, raw field:    %8.3f s (median of 3)\n", raw);
    std::printf("read rows, decoded:      %8.3f s (median of 3)\n", decoded);
    std::printf("build index:             %8.3f s (median of 3)\n", build);
    std::printf("build index, DBWINES0:   %8.3f s (median of 3)\n", collated);
    std::printf("walk index:              %8.3f s (%llu keys)\n", Seconds(t5, t6),
                static_cast<unsigned long long>(walked));
    std::printf("ratio build/raw read:    %8.2f\n", build / raw);
    std::printf("ratio build/decoded read:%8.2f (target <= 3)\n", build / decoded);
    std::printf("ratio DBWINES0 build/decoded read:%8.2f (target <= 3)\n", collated / decoded);
    engine::CurrentFileSystem()->Remove(dbf);
    engine::CurrentFileSystem()->Remove(mdx);
    return walked == rows ? 0 : 1;
  } catch (const engine::EngineError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
