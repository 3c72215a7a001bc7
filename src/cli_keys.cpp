// Keys files: UTF-8 text, one key per line, "-" for standard input.
//
// A line ends at a line feed, which is not part of the key; a carriage return just before that
// line feed is removed too (only that one). The last line needs no line feed. A line left empty is
// skipped and counted, so the empty key cannot come from a keys file. Lines are numbered from 1,
// empty ones included. A line that is not UTF-8 is an error naming the file and the line: nothing
// is replaced, since an index built from lossy bytes would hold keys the file does not.
#include "bytes.hpp"
#include "cli.hpp"
#include "fileio.hpp"
#include "key_source.hpp"

namespace quenlith::cli {

namespace {

// Opens a keys file; the failure is the text "<path>: <OS error>".
fileio::File open_keys(const std::string& path) {
  try {
    return fileio::File::open_read(path);
  } catch (const IndexError& e) {
    throw Fail::work(path + ": " + e.message());
  }
}

std::string line_failure(const std::string& path, std::uint64_t line, const std::string& text) {
  return path + ":" + std::to_string(line) + ": " + text;
}

// Hands every key of `reader` to `f` in file order and counts the empty lines in `skipped`.
// Throws `Fail::Work` naming the path and the line for a read error or invalid UTF-8.
template <class F>
void for_each_line(key_source::LineReader& reader, const std::string& path, F&& f,
                   std::uint64_t& skipped) {
  while (true) {
    std::optional<std::string_view> line;
    try {
      line = reader.next();
    } catch (const IndexError& e) {
      throw Fail::work(line_failure(path, reader.lines() + 1, e.message()));
    }
    if (!line) return;
    if (!bytes::is_utf8(bytes::as_bytes(*line)))
      throw Fail::work(line_failure(path, reader.lines(), key_source::kNotUtf8));
    if (line->empty()) {
      ++skipped;
    } else {
      f(*line);
    }
  }
}

}  // namespace

void Keys::seal() {
  views_.reserve(ends_.size());
  std::size_t start = 0;
  for (const std::size_t end : ends_) {
    views_.emplace_back(bytes_.data() + start, end - start);
    start = end;
  }
  ends_ = {};
}

Keys read_keys(const std::string& path, Input& in) {
  std::optional<fileio::File> file;
  if (path != "-") file = open_keys(path);
  key_source::LineReader reader(file ? file->fd() : in.fd(), key_source::FinalCr::Kept);
  Keys out;
  for_each_line(reader, path, [&](std::string_view key) { out.push(key); }, out.skipped);
  out.seal();
  return out;
}

KeyViews key_views(std::span<const char> bytes, const std::string& path) {
  key_source::LineReader reader(bytes, key_source::FinalCr::Kept);
  KeyViews out;
  for_each_line(reader, path, [&](std::string_view key) { out.keys.push_back(key); }, out.skipped);
  return out;
}

void note_skipped(const std::string& path, std::uint64_t skipped, Output& err) {
  if (skipped != 0) put(err, path + ": " + std::to_string(skipped) + " empty lines skipped\n");
}

}  // namespace quenlith::cli
