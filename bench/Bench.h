// Shared pieces of the side-by-side benchmark: timing, medians, the result table
// and the scratch folder in /dev/shm.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace bench {

inline double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Seconds of processor time of the calling thread: for single-threaded kernels,
// what the wall clock would show on a core of their own.
inline double threadCpu() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t const n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Seconds of one run of `ours` and of `peer`: a warm-up of each (the same work,
// or a shorter run of it where given), then `reps` runs taken in turn (ours,
// peer, ours, ...) so that load from elsewhere on the machine falls on both
// sides alike; the median of each.
struct Timing {
  double ours;
  double peer;
};
inline Timing timePair(std::function<void()> const& ours, std::function<void()> const& peer,
                       int reps, std::function<void()> const& warmOurs = nullptr,
                       std::function<void()> const& warmPeer = nullptr, double (*clock)() = now) {
  (warmOurs ? warmOurs : ours)();
  (warmPeer ? warmPeer : peer)();
  std::vector<double> a, b;
  for (int i = 0; i < reps; ++i) {
    double t = clock();
    ours();
    a.push_back(clock() - t);
    t = clock();
    peer();
    b.push_back(clock() - t);
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

extern int kReps;
// Runs only the cases whose name holds this text (all when empty).
extern std::string kOnly;
inline bool selected(std::string const& name) {
  return kOnly.empty() || name.find(kOnly) != std::string::npos;
}

void audioCases(Table& table);
void videoCases(Table& table);
// `--rss-child ours|peer SECONDS`: writes that much 8-channel audio and exits.
int rssChild(std::string const& side, int seconds);

}  // namespace bench
