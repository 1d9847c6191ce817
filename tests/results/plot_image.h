// An independent reader of plot-history file bytes for tests and fuzz
// targets: it knows only the layout (256-byte blocks, little-endian), not
// the manager. It checks the block graph and reads each variable's stored
// points back for comparison with what was recorded.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace plotimage {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::uint32_t U32(const Bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}
inline std::uint16_t U16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
inline double F64(const Bytes& b, std::size_t at) {
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = bits << 8 | b[at + i];
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

struct Point {
  double value;
  double time;
};

// One variable's history: segments of stored points (a restart marker
// starts a new one), the slope of the open pair and whether it stopped.
struct Segment {
  std::vector<Point> points;
  double slope = 0.0;  // after the last point
};
struct History {
  std::vector<Segment> segments;
  bool stopped = false;
  std::uint16_t state = 0;
  std::size_t PointCount() const {
    std::size_t n = 0;
    for (const auto& s : segments) n += s.points.size();
    return n;
  }
};

struct Image {
  std::string problem;  // empty when the block graph holds
  double last_time = 0.0;
  double tolerance = 0.0;
  std::uint32_t started = 0;
  std::uint32_t next_unused = 0;
  std::uint32_t free_count = 0;
  // Later directory entries of a name replace earlier ones.
  std::map<std::string, History> histories;
  std::vector<std::string> names;  // in directory order
};

// Every block below next-never-used reachable exactly once (header,
// directory chain, value chains, free chain), nothing referenced at or above
// it, the file no longer than it, the free tail the chain's last block.
inline Image Read(const Bytes& b) {
  Image image;
  if (b.size() < 256 || b.size() % 256 != 0) {
    image.problem = "size";
    return image;
  }
  const std::uint32_t blocks = static_cast<std::uint32_t>(b.size() / 256);
  if (U32(b, 0) != 0 || U32(b, 8) != 1 || U32(b, 12) != 4) {
    image.problem = "header";
    return image;
  }
  image.next_unused = U32(b, 28);
  image.started = U32(b, 32);
  image.last_time = F64(b, 40);
  image.tolerance = F64(b, 48);
  if (image.next_unused < blocks) {
    image.problem = "file longer than next never-used";
    return image;
  }
  std::vector<int> seen(image.next_unused, 0);
  seen[0] = 1;
  auto visit = [&](std::uint32_t n, std::uint32_t kind) -> bool {
    if (n == 0 || n >= image.next_unused || n >= blocks) {
      image.problem = "link out of range: " + std::to_string(n);
      return false;
    }
    if (seen[n]++ != 0) {
      image.problem = "block reached twice: " + std::to_string(n);
      return false;
    }
    if (kind != 0 && (U32(b, 256 * n) != n || U32(b, 256 * n + 8) != kind)) {
      image.problem = "block of the wrong kind: " + std::to_string(n);
      return false;
    }
    return true;
  };
  std::uint32_t entries = 0;
  for (std::uint32_t d = U32(b, 4); d != 0; d = U32(b, 256 * d + 4)) {
    if (!visit(d, 2)) return image;
    const std::size_t at = 256 * std::size_t{d};
    const std::string name(reinterpret_cast<const char*>(&b[at + 16]),
                           strnlen(reinterpret_cast<const char*>(&b[at + 16]), 240));
    std::uint32_t v = U32(b, at + 12);
    if (v == 0) continue;
    ++entries;
    History h;
    h.segments.emplace_back();
    for (; v != 0; v = U32(b, 256 * v + 4)) {
      if (!visit(v, 3)) return image;
      const std::size_t base = 256 * std::size_t{v};
      const bool last = U32(b, base + 4) == 0;
      const std::uint16_t used = U16(b, base + 12);
      if (used > 14) {
        image.problem = "last-used index";
        return image;
      }
      const std::uint32_t end = last ? used : 15;
      for (std::uint32_t i = 0; i < end; ++i) {
        const double value = F64(b, base + 16 + 16 * i), time = F64(b, base + 24 + 16 * i);
        if (time == -1.0) {
          h.segments.back().slope = value;
          if (!h.segments.back().points.empty()) h.segments.emplace_back();
        } else if (time >= 0.0) {
          h.segments.back().points.push_back({value, time});
        }
      }
      if (last) {
        h.state = U16(b, base + 14);
        const double time = F64(b, base + 24 + 16 * used);
        h.stopped = time == -2.0;
        h.segments.back().slope = time == -1.0 ? F64(b, base + 16 + 16 * used) : 0.0;
      }
    }
    image.names.push_back(name);
    image.histories[name] = h;
  }
  if (entries != U32(b, 24)) {
    image.problem = "entry count";
    return image;
  }
  std::uint32_t tail = 0;
  for (std::uint32_t f = U32(b, 16); f != 0; f = U32(b, 256 * f + 4)) {
    if (!visit(f, 0)) return image;
    tail = f;
    ++image.free_count;
  }
  if (tail != U32(b, 20)) {
    image.problem = "free tail";
    return image;
  }
  for (std::uint32_t n = 1; n < image.next_unused; ++n) {
    if (seen[n] != 1) {
      image.problem = "block not reachable: " + std::to_string(n);
      return image;
    }
  }
  return image;
}

// The history's values at t by linear interpolation between stored points,
// and after a segment's last point along its slope until the next segment
// starts. Where several points share t, each is an answer; none when t lies
// outside what was stored.
inline std::vector<double> ValuesAt(const History& h, double t) {
  std::vector<double> answers;
  for (std::size_t s = 0; s < h.segments.size(); ++s) {
    const auto& points = h.segments[s].points;
    if (points.empty()) continue;
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (points[i].time == t) answers.push_back(points[i].value);
      if (i + 1 < points.size() && points[i].time < t && t < points[i + 1].time) {
        const Point a = points[i], z = points[i + 1];
        answers.push_back(a.value + (z.value - a.value) * (t - a.time) / (z.time - a.time));
      }
    }
    const bool last_segment = s + 1 == h.segments.size();
    const double until = last_segment || h.segments[s + 1].points.empty()
                             ? INFINITY
                             : h.segments[s + 1].points.front().time;
    if (t > points.back().time && t <= until && !(last_segment && h.stopped))
      answers.push_back(points.back().value + h.segments[s].slope * (t - points.back().time));
  }
  return answers;
}

}  // namespace plotimage
