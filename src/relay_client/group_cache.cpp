#include "relay_client/group_cache.h"

#include <optional>
#include <sstream>
#include <vector>

#include "foundation/file.h"
#include "foundation/paths.h"
#include "foundation/text.h"

namespace vek::GroupCache {

namespace {

constexpr std::size_t maxIdLength = 128;
constexpr std::size_t maxNameCharacters = 64;
// A cache larger than this is not one the code below wrote; it is ignored.
constexpr std::size_t maxFileSize = 1024 * 1024;

struct Line {
  std::string kind;  // "mac" or "phone"
  std::string id;
  std::string name;
  std::string macID;  // phones only
};

std::optional<std::string> safeID(const JSON& value) {
  const std::string& id = value.text();
  if (id.empty() || id.size() > maxIdLength) return std::nullopt;
  for (char c : id) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '.' || c == '-' || c == '_';
    if (!allowed) return std::nullopt;
  }
  return id;
}

std::string safeName(std::string_view name) {
  return text::prefixCharacters(text::trim(text::withoutControls(name)), maxNameCharacters);
}

bool revoked(const JSON& device) {
  const JSON& value = device["revoked"];
  return value.flag() || (value.isNumber() && value.integer() != 0);
}

void addPhones(std::vector<Line>& lines, const std::string& macID, const JSON& phones) {
  for (const JSON& phone : phones.items()) {
    if (auto udid = safeID(phone["udid"])) {
      lines.push_back({"phone", *udid, safeName(phone["name"].text()), macID});
    }
  }
}

std::vector<Line> read() {
  std::vector<Line> lines;
  try {
    if (std::filesystem::file_size(file()) > maxFileSize) return lines;
    std::istringstream in(readFile(file()));
    for (std::string row; std::getline(in, row);) {
      std::vector<std::string> fields;
      std::istringstream cells(row);
      for (std::string cell; std::getline(cells, cell, '\t');)
        fields.push_back(cell);
      if (fields.size() >= 3 && (fields[0] == "mac" || fields[0] == "phone")) {
        lines.push_back({fields[0], fields[1], fields[2], fields.size() > 3 ? fields[3] : ""});
      }
    }
  } catch (const std::exception&) {
    lines.clear();
  }
  return lines;
}

void write(const std::vector<Line>& lines) noexcept {
  try {
    std::string contents;
    for (const Line& line : lines) {
      contents += line.kind + '\t' + line.id + '\t' + line.name;
      if (line.kind == "phone") contents += '\t' + line.macID;
      contents += '\n';
    }
    Paths::directory("");
    Paths::atomicWrite(contents, file());
  } catch (const std::exception&) {
    // A cache that cannot be written only makes completion offer less.
  }
}

}  // namespace

std::filesystem::path file() {
  return Paths::root() / "group-ids.tsv";
}

void remember(const JSON& group) noexcept {
  try {
    std::vector<Line> macs, phones;
    for (const JSON& device : group["devices"].items()) {
      auto id = safeID(device["id"]);
      if (!id || revoked(device)) continue;
      macs.push_back({"mac", *id, safeName(device["name"].text()), ""});
      addPhones(phones, *id, device["inventory"]["phones"]);
    }
    macs.insert(macs.end(), phones.begin(), phones.end());
    write(macs);
  } catch (const std::exception&) {
  }
}

void rememberPhones(const std::string& macID, const std::string& macName,
                    const JSON& phones) noexcept {
  try {
    auto id = safeID(JSON(macID));
    if (!id) return;
    std::vector<Line> macs, others;
    bool known = false;
    for (Line& line : read()) {
      if (line.kind == "mac") {
        if (line.id == *id) {
          line.name = safeName(macName);
          known = true;
        }
        macs.push_back(line);
      } else if (line.macID != *id) {
        others.push_back(line);
      }
    }
    if (!known) macs.push_back({"mac", *id, safeName(macName), ""});
    addPhones(others, *id, phones);
    macs.insert(macs.end(), others.begin(), others.end());
    write(macs);
  } catch (const std::exception&) {
  }
}

}  // namespace vek::GroupCache
