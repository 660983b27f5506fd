// Repeated measurements for the benchmarks: each figure is taken several times in the same run,
// next to its baseline, and reported as the median with its minimum and maximum, so that one
// slow run on a shared machine does not decide it.
//
// Every bench prints, besides its own lines, one line per figure that bench/all gathers:
//   RESULT|<figure>|<target text>|<median>|<min>|<max>|<met: yes/no>|<unit>
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

constexpr int kRounds = 5;

inline double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Stats {
  double median = 0, min = 0, max = 0;
};

inline Stats Summarize(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.min = v.front();
  s.max = v.back();
  s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  return s;
}

// Ratios of paired measurements (ours[i] / base[i]: each pair taken one after the other).
inline std::vector<double> Ratios(const std::vector<double>& ours, const std::vector<double>& base) {
  std::vector<double> r;
  for (size_t i = 0; i < ours.size() && i < base.size(); ++i) r.push_back(base[i] > 0 ? ours[i] / base[i] : 0);
  return r;
}

inline void PrintTimes(const char* what, const std::vector<double>& seconds) {
  Stats s = Summarize(seconds);
  std::printf("%-34s median %8.3f s  (min %.3f, max %.3f, %zu runs)\n", what, s.median, s.min, s.max, seconds.size());
}

// A figure with an upper bound: met when the median is at most `limit`.
inline void Result(const std::string& figure, double limit, const std::vector<double>& values, const char* unit = "x") {
  Stats s = Summarize(values);
  bool met = s.median <= limit;
  std::printf("%-34s median %8.2f%s (min %.2f, max %.2f)  target <= %g%s: %s\n", figure.c_str(), s.median, unit, s.min,
              s.max, limit, unit, met ? "met" : "NOT met");
  std::printf("RESULT|%s|<= %g%s|%.2f|%.2f|%.2f|%s|%s\n", figure.c_str(), limit, unit, s.median, s.min, s.max,
              met ? "yes" : "no", unit);
  std::fflush(stdout);
}

}  // namespace bench
