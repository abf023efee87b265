// Shared pieces of the side-by-side benchmark: timing, medians, the result table
// and the scratch folder in /dev/shm.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace bench {

inline double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t const n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Seconds of one run of `ours` and of `peer`: one warm-up each, then `reps`
// runs taken in turn (ours, peer, ours, ...) so that load from elsewhere on the
// machine falls on both sides alike; the median of each.
struct Timing {
  double ours;
  double peer;
};
inline Timing timePair(std::function<void()> const& ours, std::function<void()> const& peer,
                       int reps) {
  ours();
  peer();
  std::vector<double> a, b;
  for (int i = 0; i < reps; ++i) {
    double t = now();
    ours();
    a.push_back(now() - t);
    t = now();
    peer();
    b.push_back(now() - t);
  }
  return {median(a), median(b)};
}

// One row of the table. `higherIsBetter` tells how the target reads the figure.
struct Row {
  std::string name;
  std::string unit;
  double ours;
  double peer;
  double ratio;  // ours / peer in the direction of the target (speed up > 1 is better)
  std::string target;
  bool met;
};

class Table {
 public:
  void add(Row row);
  void print() const;

 private:
  std::vector<Row> rows_;
};

// The scratch folder (created on first use) and a file in it.
std::string scratch(std::string const& file);
void removeScratch();

// Run `reps` times after a warm-up; used where only our side is timed.
inline double timeOne(std::function<void()> const& f, int reps) {
  f();
  std::vector<double> a;
  for (int i = 0; i < reps; ++i) {
    double t = now();
    f();
    a.push_back(now() - t);
  }
  return median(a);
}

extern int kReps;

void audioCases(Table& table);
void videoCases(Table& table);
// `--rss-child ours|peer SECONDS`: writes that much 8-channel audio and exits.
int rssChild(std::string const& side, int seconds);

}  // namespace bench
