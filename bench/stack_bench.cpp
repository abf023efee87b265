// Runs the library's full stack beside the peer a host would otherwise call, on
// the same data in one run, and prints one table: each figure the median of
// several runs after a warm-up, the ratio ours / peer (oriented so that above 1
// means ours is faster), the target and whether it is met.
//
//   bench_stack [--reps N] [--only audio|video] [--case TEXT]
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "Bench.h"
#include "hostlib/multimedia/exceptions.h"

namespace bench {

int kReps = 5;
std::string kOnly;

namespace {

std::string& scratchDir() {
  static std::string dir;
  return dir;
}

}  // namespace

std::string scratch(std::string const& file) {
  std::string& dir = scratchDir();
  if (dir.empty()) {
    // tmpfs keeps the disk out of the figures.
    std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    dir = base + "/hostlib-bench-" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
  }
  return dir + "/" + file;
}

void removeScratch() {
  if (!scratchDir().empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(scratchDir(), ignored);
  }
}

void Table::add(Row row) {
  std::printf("  %-58s %10.1f %10.1f %-10s %6.2f  %s\n", row.name.c_str(), row.ours, row.peer,
              row.unit.c_str(), row.ratio, row.met ? "met" : "MISSED");
  std::fflush(stdout);
  rows_.push_back(std::move(row));
}

void Table::print() const {
  std::printf("\n| %-58s | %10s | %10s | %-10s | %6s | %-22s | %-4s |\n", "case", "ours", "peer",
              "unit", "ratio", "target", "met");
  std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(60, '-').c_str(),
              std::string(12, '-').c_str(), std::string(12, '-').c_str(),
              std::string(12, '-').c_str(), std::string(8, '-').c_str(),
              std::string(24, '-').c_str(), std::string(6, '-').c_str());
  int missed = 0;
  for (Row const& r : rows_) {
    std::printf("| %-58s | %10.2f | %10.2f | %-10s | %6.2f | %-22s | %-4s |\n", r.name.c_str(),
                r.ours, r.peer, r.unit.c_str(), r.ratio, r.target.c_str(), r.met ? "yes" : "NO");
    missed += r.met ? 0 : 1;
  }
  std::printf("\n%d of %zu targets met.\n", int(rows_.size()) - missed, rows_.size());
}

}  // namespace bench

int main(int argc, char** argv) {
  std::string only;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--rss-child" && i + 2 < argc)
      return bench::rssChild(argv[i + 1], std::atoi(argv[i + 2]));
    if (a == "--reps" && i + 1 < argc) {
      bench::kReps = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (a == "--case" && i + 1 < argc) {
      bench::kOnly = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--reps N] [--only audio|video] [--case TEXT]\n", argv[0]);
      return 2;
    }
  }
  bench::Table table;
  std::printf("Each figure: median of %d runs after a warm-up; ratio > 1: ours faster.\n",
              bench::kReps);
  try {
    if (only.empty() || only == "audio") bench::audioCases(table);
    if (only.empty() || only == "video") bench::videoCases(table);
  } catch (hostlib::multimedia::Exception const& e) {
    std::fprintf(stderr, "failed: %s: %s\n", e.name(), e.what());
    bench::removeScratch();
    return 1;
  } catch (std::exception const& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    bench::removeScratch();
    return 1;
  }
  bench::removeScratch();
  table.print();
  return 0;
}
