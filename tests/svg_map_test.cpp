// The dry-run map: a well-formed, self-contained SVG with one circle per port,
// one mark per switch, the track coloured by the bit, and labels that cannot break it.
#include "qelsim/svg_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "light/evaluation.h"
#include "support/temp_dir.h"

namespace qel::sim {
namespace {

struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;  // values unescaped
  std::string text;                               // all character data inside, unescaped

  bool HasClass(const std::string& wanted) const {
    auto it = attributes.find("class");
    if (it == attributes.end()) return false;
    std::istringstream words(it->second);
    for (std::string word; words >> word;) {
      if (word == wanted) return true;
    }
    return false;
  }
  double Number(const std::string& attribute) const {
    return std::strtod(attributes.at(attribute).c_str(), nullptr);
  }
};

// Just enough XML to hold the map to account: tags balance, attributes are
// quoted, and '<' and '&' appear in text only as the markup and entities they are.
class XmlDocument {
 public:
  explicit XmlDocument(const std::string& xml) : xml_(xml) { ok_ = Parse(); }
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  const std::vector<Element>& elements() const { return elements_; }

  std::vector<const Element*> Find(const std::string& name, const std::string& cls) const {
    std::vector<const Element*> found;
    for (const Element& e : elements_) {
      if (e.name == name && e.HasClass(cls)) found.push_back(&e);
    }
    return found;
  }

 private:
  bool Fail(const std::string& why) {
    error_ = why + " at byte " + std::to_string(at_);
    return false;
  }

  bool Unescape(std::string_view raw, std::string* out) {
    static const std::map<std::string, char> kEntities = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '<') return Fail("raw < in text");
      if (raw[i] != '&') {
        *out += raw[i];
        continue;
      }
      std::size_t semicolon = raw.find(';', i);
      if (semicolon == std::string_view::npos) return Fail("unterminated entity");
      auto entity = kEntities.find(std::string(raw.substr(i + 1, semicolon - i - 1)));
      if (entity == kEntities.end()) return Fail("unknown entity");
      *out += entity->second;
      i = semicolon;
    }
    return true;
  }

  bool Parse() {
    if (xml_.rfind("<?xml ", 0) == 0) at_ = xml_.find("?>") + 2;
    std::vector<std::size_t> open;
    int roots = 0;
    while (at_ < xml_.size()) {
      std::size_t lt = xml_.find('<', at_);
      std::string_view text(xml_.data() + at_, std::min(lt, xml_.size()) - at_);
      std::string unescaped;
      if (!Unescape(text, &unescaped)) return false;
      for (std::size_t index : open) elements_[index].text += unescaped;
      if (open.empty() && text.find_first_not_of(" \n") != std::string_view::npos)
        return Fail("text outside the root");
      if (lt == std::string::npos) break;
      at_ = lt + 1;
      if (xml_.compare(at_, 1, "/") == 0) {
        std::size_t gt = xml_.find('>', at_);
        if (gt == std::string::npos) return Fail("unterminated end tag");
        std::string name = xml_.substr(at_ + 1, gt - at_ - 1);
        if (open.empty() || elements_[open.back()].name != name) return Fail("stray </" + name);
        open.pop_back();
        at_ = gt + 1;
        continue;
      }
      Element element;
      while (at_ < xml_.size() && std::isalnum(static_cast<unsigned char>(xml_[at_])))
        element.name += xml_[at_++];
      if (element.name.empty()) return Fail("tag without a name");
      for (;;) {
        while (at_ < xml_.size() && xml_[at_] == ' ') ++at_;
        if (at_ >= xml_.size()) return Fail("unterminated tag");
        if (xml_.compare(at_, 2, "/>") == 0 || xml_[at_] == '>') break;
        std::size_t eq = xml_.find('=', at_);
        if (eq == std::string::npos || xml_.compare(eq + 1, 1, "\"") != 0)
          return Fail("unquoted attribute");
        std::string name = xml_.substr(at_, eq - at_);
        std::size_t close = xml_.find('"', eq + 2);
        if (close == std::string::npos) return Fail("unterminated attribute");
        std::string value;
        if (!Unescape(std::string_view(xml_).substr(eq + 2, close - eq - 2), &value)) return false;
        if (!element.attributes.emplace(name, value).second) return Fail("repeated " + name);
        at_ = close + 1;
      }
      bool empty = xml_[at_] == '/';
      at_ += empty ? 2 : 1;
      if (open.empty() && roots++ > 0) return Fail("second root");
      elements_.push_back(element);
      if (!empty) open.push_back(elements_.size() - 1);
    }
    if (!open.empty()) return Fail("unclosed <" + elements_[open.back()].name + ">");
    if (roots != 1 || elements_.front().name != "svg") return Fail("no svg root");
    return true;
  }

  const std::string& xml_;
  std::size_t at_ = 0;
  bool ok_ = false;
  std::string error_;
  std::vector<Element> elements_;
};

PortRecord Port(double latitude, double longitude, float threshold, float range,
                const char* label) {
  PortRecord port{};
  port.latitude = latitude;
  port.longitude = longitude;
  port.threshold = threshold;
  port.range = range;
  std::memcpy(port.label, label, std::min<std::size_t>(std::strlen(label), 4));
  return port;
}

TrackPoint At(int second, double latitude, double longitude, bool on) {
  return TrackPoint{second, latitude, longitude, 3.218, on};
}

// A short flight through two ports near Moscow, the bit switching on and off.
DryRun AFlight() {
  DryRun run;
  run.ports = {Port(55.97, 37.41, 5, 30, "UUEE"), Port(55.41, 37.90, 3, 25, "UUDD"),
               Port(55.60, 38.10, 2, 10, "ZHUK")};
  for (int s = 1; s <= 60; ++s) {
    double latitude = 56.3 - 0.016 * s;
    run.track.push_back(At(s, latitude, 37.3 + 0.01 * s, s >= 16 && s < 48));
  }
  run.switches = {{16, run.track[15].latitude, run.track[15].longitude, 3.218, true},
                  {48, run.track[47].latitude, run.track[47].longitude, 6.436, false}};
  return run;
}

void ExpectSelfContained(const std::string& svg) {
  EXPECT_EQ(svg.find("<script"), std::string::npos);
  EXPECT_EQ(svg.find("href"), std::string::npos);
  // url() may only point inside the document, as the frame's clip path does.
  for (std::size_t at = svg.find("url("); at != std::string::npos; at = svg.find("url(", at + 1)) {
    EXPECT_EQ(svg.compare(at, 5, "url(#"), 0) << svg.substr(at, 40);
  }
  EXPECT_EQ(svg.find("@import"), std::string::npos);
  std::string rest = svg;
  const std::string kNamespace = "xmlns=\"http://www.w3.org/2000/svg\"";
  std::size_t ns = rest.find(kNamespace);
  ASSERT_NE(ns, std::string::npos);
  rest.erase(ns, kNamespace.size());
  EXPECT_EQ(rest.find("http"), std::string::npos);
}

// Every coordinate a browser is given is a number it can draw.
void ExpectFiniteGeometry(const XmlDocument& doc) {
  for (const Element& e : doc.elements()) {
    for (const auto& [name, value] : e.attributes) {
      if (name == "cx" || name == "cy" || name == "r" || name == "x" || name == "y" ||
          name == "x1" || name == "x2" || name == "y1" || name == "y2" || name == "width" ||
          name == "height" || name == "points" || name == "viewBox") {
        EXPECT_EQ(value.find_first_of("naif"), std::string::npos)
            << e.name << " " << name << "=" << value;
      }
    }
  }
}

TEST(SvgMap, AFlightGivesOneCirclePerPortAndOneMarkPerSwitch) {
  DryRun run = AFlight();
  std::string svg = RenderSvgMap(run);
  XmlDocument doc(svg);
  ASSERT_TRUE(doc.ok()) << doc.error();
  ExpectSelfContained(svg);
  ExpectFiniteGeometry(doc);

  std::vector<const Element*> ports = doc.Find("circle", "port");
  ASSERT_EQ(ports.size(), run.ports.size());
  for (std::size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ports[i]->attributes.at("data-port"), std::to_string(i + 1));
    EXPECT_EQ(ports[i]->attributes.at("data-label"), run.ports[i].label);
  }
  std::vector<const Element*> switches = doc.Find("g", "switch");
  ASSERT_EQ(switches.size(), run.switches.size());
  EXPECT_NE(switches[0]->text.find("second 16: light switched on, visibility 3.218 km"),
            std::string::npos)
      << switches[0]->text;
  EXPECT_NE(switches[1]->text.find("second 48: light switched off, visibility 6.436 km"),
            std::string::npos);
  // The labels are on the map, beside the circles.
  int labels = 0;
  for (const Element* label : doc.Find("text", "port-label")) {
    labels += label->text == "UUEE" || label->text == "UUDD" || label->text == "ZHUK";
  }
  EXPECT_EQ(labels, 3);
  EXPECT_FALSE(doc.Find("g", "legend").empty());
}

TEST(SvgMap, TheFrameHoldsTheFlightNotAContinentOfPorts) {
  // A port list across Europe and a 30 km flight near one of them: the flight
  // must not shrink to a dot, and the far ports still have their circles.
  DryRun run = AFlight();
  run.ports.push_back(Port(51.47, -0.45, 5, 30, "EGLL"));
  std::string svg = RenderSvgMap(run);
  XmlDocument doc(svg);
  ASSERT_TRUE(doc.ok()) << doc.error();
  ExpectSelfContained(svg);
  EXPECT_EQ(doc.Find("circle", "port").size(), run.ports.size());
  EXPECT_NE(svg.find("port 4 EGLL lies outside the frame"), std::string::npos);
  EXPECT_EQ(svg.find("port 1 UUEE lies outside"), std::string::npos);
  // The near ports' 30 km circle fills a good part of the 1000-unit-wide drawing.
  const Element* near = doc.Find("circle", "port")[0];
  EXPECT_GT(std::stod(near->attributes.at("r")), 60.0);
}

TEST(SvgMap, TheTrackChangesColourWhereTheBitSwitched) {
  DryRun run;
  const bool bits[] = {false, false, true, true, false, false};
  for (int s = 0; s < 6; ++s) run.track.push_back(At(s + 1, 50.0 + 0.01 * s, 10.0, bits[s]));
  XmlDocument doc(RenderSvgMap(run));
  ASSERT_TRUE(doc.ok()) << doc.error();

  std::vector<std::pair<std::string, std::size_t>> legs;
  for (const Element& e : doc.elements()) {
    if (e.name != "polyline") continue;
    std::istringstream points(e.attributes.at("points"));
    std::size_t count = std::distance(std::istream_iterator<std::string>(points),
                                      std::istream_iterator<std::string>());
    legs.emplace_back(e.attributes.at("class"), count);
  }
  // A leg runs to the point where the bit changed; the next starts there.
  std::vector<std::pair<std::string, std::size_t>> expected = {
      {"track-off", 3}, {"track-on", 3}, {"track-off", 2}};
  EXPECT_EQ(legs, expected);
}

TEST(SvgMap, CirclesAreRoundAndTrueToScaleAtTheMapsLatitude) {
  // Ports a quarter of a degree north and south of 60 degrees, and one degree of
  // longitude apart along 60.25: at 60 degrees a degree of longitude is half a
  // degree of latitude long. The map's middle lies at 60.
  DryRun run;
  run.ports = {Port(59.75, 10.0, 5, 10, "SOUT"), Port(60.25, 10.0, 5, 10, "NORT"),
               Port(60.25, 11.0, 5, 10, "EAST"), Port(60.0, 10.5, 5, 20, "MIDL")};
  XmlDocument doc(RenderSvgMap(run));
  ASSERT_TRUE(doc.ok()) << doc.error();
  std::vector<const Element*> ports = doc.Find("circle", "port");
  ASSERT_EQ(ports.size(), 4u);
  double per_km = ports[0]->Number("r") / 10.0;
  EXPECT_NEAR(ports[3]->Number("r"), 20.0 * per_km, 0.05);

  double north = ports[0]->Number("cy") - ports[1]->Number("cy");
  double east = ports[2]->Number("cx") - ports[1]->Number("cx");
  EXPECT_NEAR(ports[2]->Number("cy"), ports[1]->Number("cy"), 0.01);
  EXPECT_NEAR(ports[0]->Number("cx"), ports[1]->Number("cx"), 0.01);
  double half_degree_km = 0.5 * kEarthRadiusM / 1000.0 * kPi / 180.0;
  EXPECT_NEAR(north, half_degree_km * per_km, 0.05);
  EXPECT_NEAR(east, north, 0.05);
}

TEST(SvgMap, ATrackOverTheDateLineStaysInOnePiece) {
  DryRun run;
  for (int s = 0; s < 5; ++s) {
    double longitude = 179.8 + 0.1 * s;
    if (longitude > 180) longitude -= 360;
    run.track.push_back(At(s + 1, -17.0, longitude, false));
  }
  XmlDocument doc(RenderSvgMap(run));
  ASSERT_TRUE(doc.ok()) << doc.error();
  std::vector<const Element*> legs = doc.Find("polyline", "track-off");
  ASSERT_EQ(legs.size(), 1u);
  std::istringstream points(legs[0]->attributes.at("points"));
  std::vector<double> xs;
  for (std::string point; points >> point;) xs.push_back(std::strtod(point.c_str(), nullptr));
  ASSERT_EQ(xs.size(), 5u);
  for (std::size_t i = 1; i < xs.size(); ++i) {
    EXPECT_NEAR(xs[i] - xs[i - 1], xs[1] - xs[0], 0.05) << "point " << i;
  }
}

TEST(SvgMap, LabelsCannotBreakTheDocument) {
  DryRun run;
  run.ports = {Port(10, 10, 5, 30, "<&>"), Port(11, 11, 5, 30, "\"'"),
               Port(12, 12, 5, 30, "A\x01\n"), Port(13, 13, 5, 30, "\xC3\xBC]]")};
  std::string svg = RenderSvgMap(run);
  XmlDocument doc(svg);
  ASSERT_TRUE(doc.ok()) << doc.error();
  EXPECT_EQ(svg.find("<&>"), std::string::npos);
  std::vector<const Element*> ports = doc.Find("circle", "port");
  ASSERT_EQ(ports.size(), 4u);
  EXPECT_EQ(ports[0]->attributes.at("data-label"), "<&>");
  EXPECT_EQ(ports[1]->attributes.at("data-label"), "\\\"'");
  EXPECT_EQ(ports[2]->attributes.at("data-label"), "A\\x01\\n");
  EXPECT_EQ(ports[3]->attributes.at("data-label"), "\\xC3\\xBC]]");
  for (char c : svg) {
    auto byte = static_cast<unsigned char>(c);
    ASSERT_TRUE(c == '\n' || (byte >= 0x20 && byte < 0x7F)) << "byte " << int{byte};
  }
}

TEST(SvgMap, PortsThatCannotBeDrawnStillHaveTheirCircleAndAreNamed) {
  DryRun run;
  run.ports = {Port(10, 10, 5, 0, "ZERO"),        Port(10.5, 10, 5, -4, "NEGR"),
               Port(11, 11, 5, INFINITY, "INFR"), Port(INFINITY, 10, 5, 30, "INFL"),
               Port(NAN, 10, 5, 30, "NANL"),      Port(12, 12, 5, 30, "GOOD")};
  std::string svg = RenderSvgMap(run);
  XmlDocument doc(svg);
  ASSERT_TRUE(doc.ok()) << doc.error();
  ExpectFiniteGeometry(doc);
  std::vector<const Element*> ports = doc.Find("circle", "port");
  ASSERT_EQ(ports.size(), 6u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ports[i]->Number("r"), 0.0) << run.ports[i].label;
  EXPECT_GT(ports[5]->Number("r"), 0.0);

  std::string legend;
  for (const Element* note : doc.Find("text", "legend-note")) legend += note->text + "\n";
  for (const char* said :
       {"port 1 ZERO has a range of 0 or less", "port 2 NEGR has a range of 0 or less",
        "port 3 INFR has an infinite range", "port 4 INFL is not drawn",
        "port 5 NANL is not drawn"}) {
    EXPECT_NE(legend.find(said), std::string::npos) << said << "\n" << legend;
  }
}

TEST(SvgMap, NothingToDrawIsStillAMap) {
  struct Case {
    const char* name;
    DryRun run;
    std::vector<const char*> notes;
  };
  DryRun no_track;
  no_track.ports = {Port(55.97, 37.41, 5, 30, "UUEE")};
  DryRun no_ports;
  no_ports.track = {At(1, 55.0, 37.0, false)};
  const Case cases[] = {
      {"empty", DryRun{}, {"no track", "no ports"}},
      {"no track", no_track, {"no track"}},
      {"no ports, one second", no_ports, {"no ports"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string svg = RenderSvgMap(c.run);
    XmlDocument doc(svg);
    ASSERT_TRUE(doc.ok()) << doc.error();
    ExpectSelfContained(svg);
    ExpectFiniteGeometry(doc);
    EXPECT_EQ(doc.Find("circle", "port").size(), c.run.ports.size());
    EXPECT_TRUE(doc.Find("g", "switch").empty());
    for (const char* note : c.notes) EXPECT_NE(svg.find(note), std::string::npos) << note;
  }
}

TEST(SvgMap, WriteSvgMapWritesTheRenderedMapOrSaysWhyNot) {
  test::TempSimDir dir;
  DryRun run = AFlight();
  std::string error;
  ASSERT_TRUE(WriteSvgMap("map.svg", run, &error)) << error;
  std::ifstream in("map.svg", std::ios::binary);
  std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, RenderSvgMap(run));

  EXPECT_FALSE(WriteSvgMap("no/such/folder/map.svg", run, &error));
  EXPECT_NE(error.find("cannot write no/such/folder/map.svg"), std::string::npos) << error;
}

}  // namespace
}  // namespace qel::sim
