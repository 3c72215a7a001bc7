// Helpers shared by the stream and automaton tests: reading the JSON Lines vectors and
// converting their hex strings.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <zlib.h>

namespace fst_test {

inline std::string vector_path(const std::string& name)
{
    return std::string(FST_VECTORS_DIR) + "/" + name;
}

inline std::vector<nlohmann::json> read_jsonl_text(const std::string& text)
{
    std::vector<nlohmann::json> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        if (eol > pos) out.push_back(nlohmann::json::parse(text.begin() + pos, text.begin() + eol));
        pos = eol + 1;
    }
    return out;
}

inline std::vector<nlohmann::json> read_jsonl(const std::string& name)
{
    const std::string path = vector_path(name);
    std::string text;
    if (name.size() > 3 && name.ends_with(".gz")) {
        gzFile f = gzopen(path.c_str(), "rb");
        if (f == nullptr) throw std::runtime_error("cannot open " + path);
        char buf[1 << 16];
        int n;
        while ((n = gzread(f, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
        gzclose(f);
    } else {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw std::runtime_error("cannot open " + path);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return read_jsonl_text(text);
}

inline std::string unhex(const std::string& hex)
{
    auto nib = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        throw std::runtime_error("bad hex digit");
    };
    std::string out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(nib(hex[i]) * 16 + nib(hex[i + 1])));
    return out;
}

inline std::string hex(std::string_view bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

inline std::vector<std::uint8_t> to_bytes(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace fst_test
