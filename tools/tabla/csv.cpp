#include <cstdio>
#include <string>

#include "tools/tabla/commands.h"

namespace tabla {

namespace {

// RFC 4180 quoting: fields holding a comma, a quote or a line break go between quotes.
std::string Quote(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

}  // namespace

int RunCsv(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "Uso: tabla csv FICHERO\n");
    return 2;
  }
  auto t = OpenForReading(args[0]);
  const auto& fields = t->Fields();
  std::string line = "*";
  for (const auto& f : fields) {
    line += ',';
    line += Quote(f.name);
  }
  std::printf("%s\n", line.c_str());
  std::string buf;
  uint64_t n = t->RecordCount();
  for (uint64_t r = 1; r <= n; ++r) {
    t->ReadRecord(r, &buf);
    line.clear();
    if (t->IsDeleted(buf)) line.push_back('*');
    for (int i = 0; i < static_cast<int>(fields.size()); ++i) {
      engine::Value v = t->GetValue(buf, i);
      line += ",";
      line += Quote(v.kind == engine::Value::Kind::Binary ? Hex(v.s) : v.ToDisplay());
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  }
  return 0;
}

}  // namespace tabla
