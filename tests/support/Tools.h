// Outside tools that check what was written (sox, soxi, ffmpeg, ffprobe), and a
// watch on the process's own standard output and error.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// The standard output of a shell command (its errors dropped); `ok` tells
// whether it succeeded.
inline std::string run(std::string const& command, bool* ok = nullptr) {
  std::string out;
  FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
  if (p) {
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
  }
  bool const succeeded = p && pclose(p) == 0;
  if (ok) *ok = succeeded;
  return out;
}

inline std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// Stream entries as ffprobe reports them ("codec_name", "nb_read_frames", ...)
// for the first stream of `kind` ("a" or "v"); frames are counted by decoding.
inline std::map<std::string, std::string> ffprobe(std::string const& path, char const* kind,
                                                  std::string const& entries) {
  std::istringstream in(run(std::string("ffprobe -v error -count_frames -select_streams ") + kind +
                            ":0 -show_entries stream=" + entries + " -of default=nw=1 '" + path +
                            "'"));
  std::map<std::string, std::string> found;
  for (std::string line; std::getline(in, line);)
    if (auto eq = line.find('='); eq != std::string::npos)
      found[line.substr(0, eq)] = line.substr(eq + 1);
  return found;
}

// What `soxi <option>` says of a file ("-s" samples, "-r" rate, ...).
inline std::string soxi(std::string const& path, char const* option) {
  return trimmed(run(std::string("soxi ") + option + " '" + path + "'"));
}

// Interleaved doubles of an audio file decoded by sox, or by ffmpeg at `rate`
// when a rate is given.
inline std::vector<double> decodeAudio(std::string const& path, long rate = 0) {
  std::string const bytes = rate ? run("ffmpeg -nostdin -v error -i '" + path + "' -ar " +
                                       std::to_string(rate) + " -f f64le -c:a pcm_f64le -")
                                 : run("sox '" + path + "' -t f64 -");
  std::vector<double> out(bytes.size() / sizeof(double));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(double));
  return out;
}

// Every frame of a video file decoded by ffmpeg into packed `pixelFormat`
// (rgb24, gray, rgb48le, ...).
inline std::vector<std::uint8_t> decodeVideo(std::string const& path,
                                             std::string const& pixelFormat) {
  std::string const bytes =
      run("ffmpeg -nostdin -v error -i '" + path + "' -f rawvideo -pix_fmt " + pixelFormat + " -");
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

// What `action` writes to the process's standard output and error.
inline std::string printedDuring(std::function<void()> const& action) {
  std::fflush(stdout);
  std::fflush(stderr);
  FILE* sink = std::tmpfile();
  int const savedOut = ::dup(1), savedErr = ::dup(2);
  ::dup2(::fileno(sink), 1);
  ::dup2(::fileno(sink), 2);
  action();
  std::fflush(stdout);
  std::fflush(stderr);
  ::dup2(savedOut, 1);
  ::dup2(savedErr, 2);
  ::close(savedOut);
  ::close(savedErr);
  std::string printed;
  std::rewind(sink);
  for (int c; (c = std::fgetc(sink)) != EOF;) printed += static_cast<char>(c);
  std::fclose(sink);
  return printed;
}

}  // namespace testsupport
