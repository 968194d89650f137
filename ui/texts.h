// Number reading and formatting as the window's fields and columns use them: C formatted input
// ("%lg", "%g") with its end-of-input report, strict integer conversion, and "%.6lg" output.
#pragma once

#include <optional>
#include <string>

namespace mervane::ui {

// What "%lg" (or "%g" into a float) makes of the text's start.
enum class Scan { Number, NoNumber, EndOfInput };
Scan ScanDouble(const std::string& text, double& value);
Scan ScanFloat(const std::string& text, float& value);

// The whole text as an integer (surrounding blanks allowed); nothing when it is not one or
// leaves int32.
std::optional<int> ToInteger(const std::string& text);
// The whole text as a floating-point number (surrounding blanks allowed); nothing otherwise.
std::optional<double> ToDouble(const std::string& text);

// printf-style formatting into a std::string.
std::string Format(const char* format, double value);
std::string Format6(double value);  // "%.6lg"
std::string Decimal(long value);

// The messages of the framework's own conversions, as a failed integer or number field shows them.
std::string NotInteger(const std::string& text);
std::string NotNumber(const std::string& text);

}  // namespace mervane::ui
