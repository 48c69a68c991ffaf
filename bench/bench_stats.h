// Samples in microseconds, their order statistics, and the table and JSON
// lines the benchmarks print.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

struct Stats {
  double median = 0;
  double p90 = 0;
  double p99 = 0;
  size_t count = 0;
};

inline Stats Summarise(std::vector<double> samples) {
  Stats stats;
  stats.count = samples.size();
  if (samples.empty()) return stats;
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) {
    return samples[std::min(samples.size() - 1, static_cast<size_t>(q * static_cast<double>(samples.size())))];
  };
  stats.median = at(0.5);
  stats.p90 = at(0.9);
  stats.p99 = at(0.99);
  return stats;
}

// "| name | median | p90 | p99 |" in the unit given.
inline std::string Row(const std::string& name, const Stats& stats, const char* unit) {
  char line[256];
  std::snprintf(line, sizeof(line), "| %s | %.1f %s | %.1f %s | %.1f %s | %zu |", name.c_str(), stats.median, unit,
                stats.p90, unit, stats.p99, unit, stats.count);
  return line;
}

inline std::string JsonMember(const std::string& name, const Stats& stats) {
  char text[256];
  std::snprintf(text, sizeof(text), "\"%s\":{\"median\":%.3f,\"p90\":%.3f,\"p99\":%.3f,\"count\":%zu}", name.c_str(),
                stats.median, stats.p90, stats.p99, stats.count);
  return text;
}
