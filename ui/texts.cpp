// Number reading and formatting of the window's fields and columns.
#include "ui/texts.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace mervane::ui {

namespace {
Scan FromResult(int result) {
  if (result == 1) return Scan::Number;
  return result == EOF ? Scan::EndOfInput : Scan::NoNumber;
}

bool OnlyBlanks(const char* rest) {
  while (*rest == ' ' || *rest == '\t') ++rest;
  return *rest == '\0';
}
}  // namespace

Scan ScanDouble(const std::string& text, double& value) {
  return FromResult(std::sscanf(text.c_str(), "%lg", &value));
}

Scan ScanFloat(const std::string& text, float& value) {
  return FromResult(std::sscanf(text.c_str(), "%g", &value));
}

std::optional<int> ToInteger(const std::string& text) {
  const char* start = text.c_str();
  while (*start == ' ' || *start == '\t') ++start;
  if (*start == '\0') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(start, &end, 10);
  if (end == start || errno == ERANGE || !OnlyBlanks(end) || value < std::numeric_limits<int>::min() ||
      value > std::numeric_limits<int>::max())
    return std::nullopt;
  return static_cast<int>(value);
}

std::optional<double> ToDouble(const std::string& text) {
  const char* start = text.c_str();
  while (*start == ' ' || *start == '\t') ++start;
  if (*start == '\0') return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(start, &end);
  if (end == start || !OnlyBlanks(end)) return std::nullopt;
  return value;
}

std::string Format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

std::string Format6(double value) { return Format("%.6g", value); }

std::string Decimal(long value) { return std::to_string(value); }

std::string NotInteger(const std::string& text) { return "'" + text + "' is not a valid integer value"; }

std::string NotNumber(const std::string& text) { return "'" + text + "' is not a valid floating point value"; }

}  // namespace mervane::ui
