#include "projects/project.h"

#include "foundation/errors.h"

namespace vek {

namespace {

const JSON& member(const JSON& value, const char* key, JSON::Kind kind, const char* kindName) {
  const JSON& found = value[key];
  if (found.kind() != kind) {
    throw DecodingError(std::string("the member \"") + key + "\" is " +
                        (found.isNull() ? "missing" : "not " + std::string(kindName)));
  }
  return found;
}

std::string text(const JSON& value, const char* key) {
  return member(value, key, JSON::Kind::string, "a string").text();
}

std::vector<std::string> texts(const JSON& value, const char* key) {
  std::vector<std::string> result;
  for (const JSON& element : member(value, key, JSON::Kind::array, "an array").items()) {
    if (!element.isString()) {
      throw DecodingError(std::string("the member \"") + key +
                          "\" holds a value that is not a string");
    }
    result.push_back(element.text());
  }
  return result;
}

std::optional<std::string> optionalText(const JSON& value, const char* key) {
  const JSON& found = value[key];
  if (found.isNull()) return std::nullopt;
  if (!found.isString()) {
    throw DecodingError(std::string("the member \"") + key + "\" is not a string");
  }
  return found.text();
}

}  // namespace

std::vector<std::string> Project::selection() const {
  return {path.ends_with(".xcworkspace") ? "-workspace" : "-project", path};
}

JSON Project::json() const {
  return JSON::object({{"id", id},
                       {"name", name},
                       {"schemes", JSON::strings(schemes)},
                       {"configurations", JSON::strings(configurations)}});
}

JSON Project::encoded() const {
  JSON value = JSON::object({{"id", id},
                             {"name", name},
                             {"path", path},
                             {"schemes", JSON::strings(schemes)},
                             {"configurations", JSON::strings(configurations)},
                             {"automaticSigning", automaticSigning}});
  if (teamID) value.set("teamID", *teamID);
  if (exportOptionsPath) value.set("exportOptionsPath", *exportOptionsPath);
  return value;
}

Project Project::decode(const JSON& value) {
  if (!value.isObject()) throw DecodingError("a project is not a JSON object");
  Project project;
  project.id = text(value, "id");
  project.name = text(value, "name");
  project.path = text(value, "path");
  project.schemes = texts(value, "schemes");
  project.configurations = texts(value, "configurations");
  project.teamID = optionalText(value, "teamID");
  project.exportOptionsPath = optionalText(value, "exportOptionsPath");
  project.automaticSigning =
      member(value, "automaticSigning", JSON::Kind::boolean, "a boolean").flag();
  return project;
}

}  // namespace vek
