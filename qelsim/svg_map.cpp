// SVG drawing of a dry run. Positions are projected to kilometres east and north
// of the map's middle, so a port's range in km is its circle's radius as it stands.
#include "qelsim/svg_map.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <vector>

#include "light/evaluation.h"
#include "qelsim/check.h"

namespace qel::sim {

namespace {

// The same sphere the module measures on, so circles and distances agree with it.
constexpr double kKmPerDegree = kEarthRadiusM / 1000.0 * kPi / 180.0;
// The drawing in user units; the root element scales it to the browser window.
constexpr double kWidth = 1000;
constexpr double kMaxMapHeight = 640;
constexpr double kPad = 16;
constexpr double kLegendLine = 24;
// Far from the poles the cos(latitude) scale stays usable; nearer, it would blow up.
constexpr double kMaxMidLatitude = 85;

constexpr const char* kStyle =
    ".background{fill:#ffffff}"
    ".frame{fill:#f4f7fa;stroke:#c8d0d8;stroke-width:1}"
    ".port,.legend-port{fill:#2a6fdb;fill-opacity:0.08;stroke:#2a6fdb;stroke-width:2}"
    ".port-centre{fill:#2a6fdb}"
    ".port-label{fill:#1b4a94;font-weight:bold;text-anchor:middle}"
    ".track-on{fill:none;stroke:#f0a000;stroke-width:4;stroke-linejoin:round;"
    "stroke-linecap:round}"
    ".track-off{fill:none;stroke:#8c8c8c;stroke-width:4;stroke-linejoin:round;"
    "stroke-linecap:round}"
    ".dot-on{fill:#f0a000}.dot-off{fill:#8c8c8c}"
    ".switch-dot{fill:#d0021b;stroke:#ffffff;stroke-width:1.5}"
    ".switch-label{fill:#8a0012;font-size:12px}"
    ".legend-title{font-weight:bold}"
    ".legend-note{fill:#8a0012}"
    ".scale-bar{stroke:#333333;stroke-width:2}";

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

std::string Count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Text for element content and attribute values: escapes first make every byte
// printable ASCII, so no label can break the document's encoding.
std::string Xml(std::string_view text) {
  std::string out;
  for (char c : EscapeText(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool Placeable(double latitude, double longitude) {
  return std::isfinite(latitude) && std::isfinite(longitude);
}

// The radius a port is drawn with: a range the aircraft can never be within, or
// one that reaches everywhere, has no circle to show.
double DrawnRangeKm(const PortRecord& port) {
  double range = port.range;
  return std::isfinite(range) && range > 0 ? range : 0.0;
}

struct Point {
  double x, y;
};

// A rectangle in km east and north; empty until something is put in it.
struct Box {
  double min_x = std::numeric_limits<double>::infinity();
  double max_x = -std::numeric_limits<double>::infinity();
  double min_y = std::numeric_limits<double>::infinity();
  double max_y = -std::numeric_limits<double>::infinity();
  bool valid() const { return min_x <= max_x && min_y <= max_y; }
  void Take(double x, double y, double r) {
    min_x = std::min(min_x, x - r), max_x = std::max(max_x, x + r);
    min_y = std::min(min_y, y - r), max_y = std::max(max_y, y + r);
  }
  bool Meets(const Box& other) const {
    return min_x <= other.max_x && other.min_x <= max_x && min_y <= other.max_y &&
           other.min_y <= max_y;
  }
};

// Equirectangular, scaled by cos(mid-latitude), in km from a reference meridian;
// longitudes are taken the short way round from it, so a track over the 180th
// meridian stays in one piece.
class Projection {
 public:
  explicit Projection(const DryRun& run) {
    reference_longitude_ = FirstLongitude(run);
    // The map frames the flight and the ports near it; a port list that spans a
    // continent would otherwise shrink the track to a dot. Ports farther off are
    // still drawn, clipped at the frame. Without a track, the frame holds every port.
    east_scale_ = 1;
    Box track = Bounds(run, /*ports=*/false, nullptr);
    const Box* near = nullptr;
    Box region;
    if (track.valid()) {
      double reach = std::max({track.max_x - track.min_x, track.max_y - track.min_y, 80.0}) / 2;
      region = {track.min_x - reach, track.max_x + reach, track.min_y - reach, track.max_y + reach};
      near = &region;
    }
    // The latitude band first, in degrees, for the scale east of the reference.
    Box band = Bounds(run, true, near);
    mid_latitude_ = band.valid() ? std::clamp((band.min_y + band.max_y) / 2 / kKmPerDegree,
                                              -kMaxMidLatitude, kMaxMidLatitude)
                                 : 0.0;
    east_scale_ = std::cos(mid_latitude_ * kPi / 180.0);
    if (near != nullptr) {
      track = Bounds(run, false, nullptr);
      double reach = std::max({track.max_x - track.min_x, track.max_y - track.min_y, 80.0}) / 2;
      region = {track.min_x - reach, track.max_x + reach, track.min_y - reach, track.max_y + reach};
    }
    view_ = Bounds(run, true, near);
    double min_x = view_.min_x, max_x = view_.max_x, min_y = view_.min_y, max_y = view_.max_y;
    if (!view_.valid()) min_x = -50, max_x = 50, min_y = -50, max_y = 50;
    // A single point, or a track along one line, still gets a map around it.
    double side = std::max({max_x - min_x, max_y - min_y, 2.0});
    double margin = side * 0.06;
    Widen(&min_x, &max_x, side);
    Widen(&min_y, &max_y, side / 4);
    min_x -= margin, max_x += margin, min_y -= margin, max_y += margin;
    view_ = {min_x, max_x, min_y, max_y};
    scale_ = std::min((kWidth - 2 * kPad) / (max_x - min_x), kMaxMapHeight / (max_y - min_y));
    width_ = (max_x - min_x) * scale_;
    height_ = (max_y - min_y) * scale_;
    left_ = (kWidth - width_) / 2 - min_x * scale_;
    top_ = kPad + max_y * scale_;
  }

  // Whether a port's circle shows, at least in part, inside the frame.
  bool InView(const PortRecord& port) const {
    if (!Placeable(port.latitude, port.longitude)) return false;
    Point p = Km(port.latitude, port.longitude);
    double r = DrawnRangeKm(port);
    return Box{p.x - r, p.x + r, p.y - r, p.y + r}.Meets(view_);
  }

  Point operator()(double latitude, double longitude) const {
    Point km = Km(latitude, longitude);
    return {left_ + km.x * scale_, top_ - km.y * scale_};
  }
  double Length(double km) const { return km * scale_; }
  double scale() const { return scale_; }
  double mid_latitude() const { return mid_latitude_; }
  double map_left() const { return (kWidth - width_) / 2; }
  double map_width() const { return width_; }
  double map_height() const { return height_; }

 private:
  // The box around the track and switches and, with `ports`, the circles of the
  // ports that meet `near` (all of them when it is null).
  Box Bounds(const DryRun& run, bool ports, const Box* near) const {
    Box box;
    for (const TrackPoint& p : run.track) {
      if (Placeable(p.latitude, p.longitude)) Put(&box, p.latitude, p.longitude, 0);
    }
    for (const SwitchMark& s : run.switches) {
      if (Placeable(s.latitude, s.longitude)) Put(&box, s.latitude, s.longitude, 0);
    }
    if (!ports) return box;
    for (const PortRecord& port : run.ports) {
      if (!Placeable(port.latitude, port.longitude)) continue;
      Point p = Km(port.latitude, port.longitude);
      double r = DrawnRangeKm(port);
      if (near == nullptr || Box{p.x - r, p.x + r, p.y - r, p.y + r}.Meets(*near)) {
        box.Take(p.x, p.y, r);
      }
    }
    return box;
  }

  void Put(Box* box, double latitude, double longitude, double r) const {
    Point p = Km(latitude, longitude);
    box->Take(p.x, p.y, r);
  }

  static double FirstLongitude(const DryRun& run) {
    for (const TrackPoint& p : run.track) {
      if (Placeable(p.latitude, p.longitude)) return p.longitude;
    }
    for (const PortRecord& port : run.ports) {
      if (Placeable(port.latitude, port.longitude)) return port.longitude;
    }
    return 0;
  }

  static void Widen(double* low, double* high, double at_least) {
    double missing = at_least - (*high - *low);
    if (missing > 0) *low -= missing / 2, *high += missing / 2;
  }

  Point Km(double latitude, double longitude) const {
    double east = std::remainder(longitude - reference_longitude_, 360.0);
    return {east * east_scale_ * kKmPerDegree, latitude * kKmPerDegree};
  }

  double reference_longitude_ = 0;
  double mid_latitude_ = 0;
  double east_scale_ = 1;
  double scale_ = 1;
  double width_ = 0, height_ = 0, left_ = 0, top_ = 0;
  Box view_;
};

// A round length for the scale bar, at most `longest` km.
double ScaleBarKm(double longest) {
  double decade = std::pow(10.0, std::floor(std::log10(longest)));
  for (double step : {5.0, 2.0, 1.0}) {
    if (step * decade <= longest) return step * decade;
  }
  return decade;
}

class SvgWriter {
 public:
  explicit SvgWriter(const DryRun& run) : run_(run), projection_(run) {}

  std::string Render() {
    DrawPorts();
    DrawTrack();
    DrawSwitches();
    std::string map;
    map.swap(body_);
    double legend_top = kPad + projection_.map_height() + kPad;
    DrawLegend(legend_top);
    double height = legend_top + static_cast<double>(legend_lines_) * kLegendLine + kPad;

    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += Printf(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100%%\" height=\"100%%\" "
        "viewBox=\"0 0 %.0f %.0f\" preserveAspectRatio=\"xMidYMin meet\" "
        "font-family=\"sans-serif\" font-size=\"14\">\n",
        kWidth, std::ceil(height));
    svg += "<title>Qelmarin dry run</title>\n";
    svg += std::string("<style>") + kStyle + "</style>\n";
    svg += Printf("<rect class=\"background\" x=\"0\" y=\"0\" width=\"%.0f\" height=\"%.0f\"/>\n",
                  kWidth, std::ceil(height));
    svg += Printf("<rect class=\"frame\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\"/>\n",
                  projection_.map_left(), kPad, projection_.map_width(), projection_.map_height());
    // Ports far from the flight reach beyond the frame: they are cut off at it.
    svg += Printf(
        "<clipPath id=\"map-frame\"><rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" "
        "height=\"%.2f\"/></clipPath>\n<g clip-path=\"url(#map-frame)\">\n",
        projection_.map_left(), kPad, projection_.map_width(), projection_.map_height());
    svg += map;
    svg += "</g>\n";
    svg += body_;
    svg += "</svg>\n";
    return svg;
  }

 private:
  void DrawPorts() {
    body_ += "<g class=\"ports\">\n";
    for (std::size_t i = 0; i < run_.ports.size(); ++i) {
      const PortRecord& port = run_.ports[i];
      std::string number = std::to_string(i + 1);
      std::string label = Xml(LabelOf(port));
      std::string title =
          "port " + number + " " + label +
          Printf(": threshold %g km, range %g km", static_cast<double>(port.threshold),
                 static_cast<double>(port.range));
      bool placed = Placeable(port.latitude, port.longitude);
      double radius = placed ? projection_.Length(DrawnRangeKm(port)) : 0;
      Point at = placed ? projection_(port.latitude, port.longitude) : Point{0, 0};
      body_ += "<circle class=\"port\" data-port=\"" + number + "\" data-label=\"" + label +
               Printf("\" cx=\"%.2f\" cy=\"%.2f\" r=\"%.2f\"><title>", at.x, at.y, radius) + title +
               "</title></circle>\n";
      if (!placed) {
        Note("port " + number + " " + label + " is not drawn: its position is not a number");
        continue;
      }
      body_ +=
          Printf("<circle class=\"port-centre\" cx=\"%.2f\" cy=\"%.2f\" r=\"3\"/>\n", at.x, at.y);
      body_ += Printf("<text class=\"port-label\" x=\"%.2f\" y=\"%.2f\">", at.x, at.y - 8) + label +
               "</text>\n";
      double range = port.range;
      if (!projection_.InView(port)) {
        Note("port " + number + " " + label + " lies outside the frame, far from the flight");
      }
      if (!(range > 0)) {
        Note("port " + number + " " + label +
             " has a range of 0 or less: never in range, drawn as its centre alone");
      } else if (std::isinf(range)) {
        Note("port " + number + " " + label +
             " has an infinite range: in range anywhere, drawn as its centre alone");
      }
    }
    body_ += "</g>\n";
  }

  void DrawTrack() {
    body_ += "<g class=\"track\">\n";
    std::vector<Point> leg;
    bool leg_on = false;
    auto flush = [&] {
      if (leg.size() == 1) {
        body_ += Printf("<circle class=\"%s\" cx=\"%.2f\" cy=\"%.2f\" r=\"3\"/>\n",
                        leg_on ? "dot-on" : "dot-off", leg[0].x, leg[0].y);
      } else if (leg.size() > 1) {
        body_ += Printf("<polyline class=\"%s\" points=\"", leg_on ? "track-on" : "track-off");
        for (std::size_t i = 0; i < leg.size(); ++i) {
          body_ += Printf("%s%.2f,%.2f", i == 0 ? "" : " ", leg[i].x, leg[i].y);
        }
        body_ += "\"/>\n";
      }
      leg.clear();
    };
    for (const TrackPoint& p : run_.track) {
      if (!Placeable(p.latitude, p.longitude)) {
        flush();
        continue;
      }
      Point at = projection_(p.latitude, p.longitude);
      // The bit a point shows holds until the next point's event, so a leg ends
      // on the point where the bit changed and the next leg starts there.
      if (!leg.empty() && p.light_on != leg_on) {
        leg.push_back(at);
        flush();
      }
      if (leg.empty()) leg_on = p.light_on;
      leg.push_back(at);
    }
    flush();
    body_ += "</g>\n";
    if (run_.track.empty()) Note("no track: the dry run recorded no second");
  }

  void DrawSwitches() {
    body_ += "<g class=\"switches\">\n";
    int stagger = 0;
    for (const SwitchMark& s : run_.switches) {
      // Switches close together would print their labels over each other.
      double label_dy = 4 + 16.0 * (stagger++ % 3);
      std::string text = Printf("second %d: light switched %s, visibility %.3f km", s.second,
                                s.on ? "on" : "off", s.visibility_km);
      body_ +=
          Printf("<g class=\"switch\" data-second=\"%d\"><title>", s.second) + text + "</title>";
      if (Placeable(s.latitude, s.longitude)) {
        Point at = projection_(s.latitude, s.longitude);
        body_ += Printf(
            "<circle class=\"switch-dot\" cx=\"%.2f\" cy=\"%.2f\" r=\"6\"/>"
            "<text class=\"switch-label\" x=\"%.2f\" y=\"%.2f\">%d s, %.3f km</text>",
            at.x, at.y, at.x + 9, at.y + label_dy, s.second, s.visibility_km);
      }
      body_ += "</g>\n";
    }
    body_ += "</g>\n";
  }

  void DrawLegend(double top) {
    body_ += "<g class=\"legend\">\n";
    double x = kPad;
    auto baseline = [&](int line) { return top + kLegendLine * line + 16; };
    body_ += Printf("<text class=\"legend-title\" x=\"%.0f\" y=\"%.2f\">", x, baseline(0)) +
             "Qelmarin dry run: " + Count(run_.ports.size(), "port", "ports") + ", " +
             Count(run_.track.size(), "second", "seconds") + ", " +
             Count(run_.switches.size(), "switch", "switches") + "</text>\n";

    double y = baseline(1);
    body_ += Printf("<line class=\"track-on\" x1=\"%.0f\" y1=\"%.2f\" x2=\"%.0f\" y2=\"%.2f\"/>", x,
                    y - 5, x + 30, y - 5);
    body_ += Printf("<text x=\"%.0f\" y=\"%.2f\">light on</text>\n", x + 38, y);
    body_ += Printf("<line class=\"track-off\" x1=\"%.0f\" y1=\"%.2f\" x2=\"%.0f\" y2=\"%.2f\"/>",
                    x + 130, y - 5, x + 160, y - 5);
    body_ += Printf("<text x=\"%.0f\" y=\"%.2f\">light off</text>\n", x + 168, y);
    body_ +=
        Printf("<circle class=\"switch-dot\" cx=\"%.0f\" cy=\"%.2f\" r=\"6\"/>", x + 270, y - 5);
    body_ += Printf("<text x=\"%.0f\" y=\"%.2f\">light switched: second, visibility</text>\n",
                    x + 282, y);
    body_ +=
        Printf("<circle class=\"legend-port\" cx=\"%.0f\" cy=\"%.2f\" r=\"8\"/>", x + 545, y - 5);
    body_ +=
        Printf("<text x=\"%.0f\" y=\"%.2f\">port: range circle and label</text>\n", x + 560, y);

    y = baseline(2);
    double bar_km = ScaleBarKm(200 / projection_.scale());
    double bar = projection_.Length(bar_km);
    body_ += Printf("<line class=\"scale-bar\" x1=\"%.0f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\"/>",
                    x, y - 5, x + bar, y - 5);
    body_ += Printf(
        "<text x=\"%.2f\" y=\"%.2f\">%g km; north up, equirectangular, true to scale at "
        "latitude %.2f</text>\n",
        x + bar + 8, y, bar_km, projection_.mid_latitude());
    legend_lines_ = 3;
    if (run_.ports.empty()) Note("no ports: the module would never touch the light");
    for (const std::string& note : notes_) {
      body_ += Printf("<text class=\"legend-note\" x=\"%.0f\" y=\"%.2f\">", x,
                      baseline(legend_lines_++)) +
               note + "</text>\n";
    }
    body_ += "</g>\n";
  }

  // Notes are already XML text.
  void Note(std::string text) { notes_.push_back(std::move(text)); }

  const DryRun& run_;
  Projection projection_;
  std::string body_;
  std::vector<std::string> notes_;
  int legend_lines_ = 0;
};

}  // namespace

std::string RenderSvgMap(const DryRun& run) {
  return SvgWriter(run).Render();
}

bool WriteSvgMap(const std::string& path, const DryRun& run, std::string* error) {
  std::string svg = RenderSvgMap(run);
  errno = 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(svg.data(), static_cast<std::streamsize>(svg.size()));
  if (out) out.close();
  if (!out) {
    if (error != nullptr) {
      *error = "cannot write " + path + ": " + (errno != 0 ? std::strerror(errno) : "write failed");
    }
    return false;
  }
  return true;
}

}  // namespace qel::sim
