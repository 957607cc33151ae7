#include "foundation/json.h"

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>

namespace vek {

namespace {

const JSON kNull;
const std::string kEmptyText;
const JSON::Object kEmptyObject;
const JSON::Array kEmptyArray;

void combine(std::size_t& seed, std::size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace

JSON JSON::object(std::initializer_list<std::pair<const std::string, JSON>> members) {
  return JSON(Object(members.begin(), members.end()));
}

JSON JSON::array(std::initializer_list<JSON> elements) {
  return JSON(Array(elements));
}

JSON JSON::strings(const std::vector<std::string>& values) {
  Array array;
  array.reserve(values.size());
  for (const auto& value : values)
    array.emplace_back(value);
  return JSON(std::move(array));
}

const JSON& JSON::operator[](std::string_view key) const noexcept {
  if (const auto* object = std::get_if<Object>(&value_)) {
    if (auto it = object->find(key); it != object->end()) return it->second;
  }
  return kNull;
}

std::optional<std::string> JSON::string() const {
  if (const auto* text = std::get_if<std::string>(&value_)) return *text;
  return std::nullopt;
}

const std::string& JSON::text() const noexcept {
  if (const auto* text = std::get_if<std::string>(&value_)) return *text;
  return kEmptyText;
}

const JSON::Object& JSON::fields() const noexcept {
  if (const auto* object = std::get_if<Object>(&value_)) return *object;
  return kEmptyObject;
}

const JSON::Array& JSON::items() const noexcept {
  if (const auto* array = std::get_if<Array>(&value_)) return *array;
  return kEmptyArray;
}

bool JSON::flag() const noexcept {
  if (const auto* flag = std::get_if<bool>(&value_)) return *flag;
  return false;
}

double JSON::doubleValue() const noexcept {
  if (const auto* number = std::get_if<double>(&value_)) return *number;
  return 0;
}

std::int64_t JSON::integer() const noexcept {
  const auto* number = std::get_if<double>(&value_);
  if (!number || std::isnan(*number)) return 0;
  // 2^63 is exactly representable; anything at or beyond it saturates.
  constexpr double kLimit = 9223372036854775808.0;
  if (*number >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (*number <= -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(*number);  // truncates toward zero
}

JSON& JSON::set(std::string_view key, JSON member) {
  if (isNull()) value_ = Object{};
  auto* object = std::get_if<Object>(&value_);
  if (!object) throw std::logic_error("JSON member assignment on a value that is not an object");
  auto it = object->find(key);
  if (it == object->end()) {
    object->emplace(std::string(key), std::move(member));
  } else {
    it->second = std::move(member);
  }
  return *this;
}

void JSON::push(JSON element) {
  if (isNull()) value_ = Array{};
  auto* array = std::get_if<Array>(&value_);
  if (!array) throw std::logic_error("JSON append on a value that is not an array");
  array->push_back(std::move(element));
}

std::size_t JSON::hash() const noexcept {
  std::size_t seed = value_.index();
  switch (kind()) {
    case Kind::object:
      for (const auto& [key, member] : std::get<Object>(value_)) {
        combine(seed, std::hash<std::string>{}(key));
        combine(seed, member.hash());
      }
      break;
    case Kind::array:
      for (const auto& element : std::get<Array>(value_))
        combine(seed, element.hash());
      break;
    case Kind::string:
      combine(seed, std::hash<std::string>{}(std::get<std::string>(value_)));
      break;
    case Kind::number: {
      double number = std::get<double>(value_);
      if (number == 0) number = 0;  // -0 and +0 are equal, so they must hash alike
      combine(seed, std::hash<double>{}(number));
      break;
    }
    case Kind::boolean:
      combine(seed, std::get<bool>(value_) ? 1 : 0);
      break;
    case Kind::null:
      break;
  }
  return seed;
}

}  // namespace vek
