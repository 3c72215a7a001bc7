#include "vectors.hpp"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "fst/crc32.hpp"
#include "fst/utf8.hpp"

namespace fst_test {

std::string vector_path(const std::string& name) {
  return std::string(FST_VECTORS_DIR) + "/" + name;
}

Bytes hex(const std::string& s) {
  if (s.size() % 2 != 0) throw std::runtime_error("odd hex length");
  auto nib = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    throw std::runtime_error("bad hex digit");
  };
  Bytes out(s.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<std::uint8_t>(nib(s[2 * i]) << 4 | nib(s[2 * i + 1]));
  return out;
}

std::string to_hex(const Bytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (auto c : b) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

Bytes crafted(const Bytes& nodes, std::uint64_t root) {
  const std::uint64_t len = 1;
  Bytes b(16 + nodes.size() + 20, 0);
  b[0] = 3;
  std::copy(nodes.begin(), nodes.end(), b.begin() + 16);
  for (int i = 0; i < 8; ++i) {
    b[16 + nodes.size() + i] = static_cast<std::uint8_t>(len >> (8 * i));
    b[24 + nodes.size() + i] = static_cast<std::uint8_t>(root >> (8 * i));
  }
  fst::CheckSummer s;
  s.update(std::span<const std::uint8_t>(b.data(), b.size() - 4));
  const std::uint32_t m = s.masked();
  for (int i = 0; i < 4; ++i) b[b.size() - 4 + i] = static_cast<std::uint8_t>(m >> (8 * i));
  return b;
}

static std::vector<json> parse_lines(const std::string& text) {
  std::vector<json> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    if (nl > pos)
      out.push_back(json::parse(text.begin() + static_cast<std::ptrdiff_t>(pos),
                                text.begin() + static_cast<std::ptrdiff_t>(nl)));
    pos = nl + 1;
  }
  return out;
}

std::vector<json> load_jsonl(const std::string& name) {
  std::ifstream in(vector_path(name), std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + name);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return parse_lines(text);
}

std::vector<json> load_jsonl_gz(const std::string& name) {
  std::unique_ptr<gzFile_s, int (*)(gzFile)> f(gzopen(vector_path(name).c_str(), "rb"), gzclose);
  if (!f) throw std::runtime_error("cannot open " + name);
  std::string text;
  char buf[1 << 16];
  int n;
  while ((n = gzread(f.get(), buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  if (n < 0) throw std::runtime_error("cannot read " + name);
  return parse_lines(text);
}

static BuildCase build_case(const json& j) {
  BuildCase c;
  c.name = j.at("name").get<std::string>();
  c.tags = j.at("tags").get<std::vector<std::string>>();
  for (auto& kv : j.at("keys"))
    c.keys.emplace_back(hex(kv.at(0).get<std::string>()), kv.at(1).get<std::uint64_t>());
  c.fst = hex(j.at("fst").get<std::string>());
  c.len = j.at("len").get<std::uint64_t>();
  c.size = j.at("size").get<std::uint64_t>();
  c.root_addr = j.at("root_addr").get<std::uint64_t>();
  c.checksum = j.at("checksum").get<std::uint32_t>();
  return c;
}

const std::vector<BuildCase>& build_cases() {
  static const std::vector<BuildCase> cases = [] {
    std::vector<BuildCase> v;
    for (auto& j : load_jsonl("build.jsonl")) v.push_back(build_case(j));
    return v;
  }();
  return cases;
}

const BuildCase& build_case_named(const std::string& name) {
  for (auto& c : build_cases())
    if (c.name == name) return c;
  throw std::runtime_error("no build case " + name);
}

const BuildCase& large_case() {
  static const BuildCase c = build_case(load_jsonl_gz("build_large.jsonl.gz").at(0));
  return c;
}

std::optional<std::size_t> true_distance(std::string_view a, std::string_view b, std::size_t cap) {
  std::vector<char32_t> x;
  std::vector<char32_t> y;
  if (!fst::utf8::decode(a, x) || !fst::utf8::decode(b, y)) return std::nullopt;
  const std::size_t diff = x.size() > y.size() ? x.size() - y.size() : y.size() - x.size();
  if (diff > cap) return diff;
  std::vector<std::size_t> row(y.size() + 1);
  for (std::size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= x.size(); ++i) {
    std::size_t diag = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[y.size()];
}

}  // namespace fst_test
