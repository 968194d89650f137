// What the host must see from InitZelPlugin, written down independently of the library: the
// registration table and the byte images of the descriptors, built at the offsets quoted for a
// 32-bit host and shifted by the header's rule on a 64-bit one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace plugin_expect {

struct Parameter {
  std::int32_t type;
  std::int32_t count;
  const char* name;
};

struct Function {
  const char* name;
  const char* description;
  std::int32_t declaredOutputs;
  std::vector<Parameter> inputs;
  std::vector<Parameter> outputs;  // slot contents, also beyond the declared count
};

enum : std::int32_t { kBool = 0, kChar = 1, kI32 = 6, kU32 = 7, kDouble = 9, kString = 10 };

inline const std::vector<Function>& Functions() {
  static const Parameter name{kString, 1, "MotorName"};
  static const Parameter succes{kBool, 1, "Succes"};
  static const Parameter dummy{kDouble, 1, "dummy"};
  static const Parameter destination{kDouble, 1, "Destination"};
  static const Parameter relative{kBool, 1, "Relative"};
  static const std::vector<Function> table = {
      {"Motor Info", "Get motors count, or motor info", 5, {{kI32, 1, "MotorIndex"}},
       {{kU32, 1, "Count"}, {kChar, 10, "Name"}, {kChar, 64, "Type"}, {kDouble, 2, "Position, Zero"},
        {kDouble, 2, "Speed Min/Max"}}},
      {"Setup Motor", "Open window for setup motor", 1, {name}, {succes}},
      {"Motor Is Running", "Motor is connected (Status=-1|0) or running (Status=1)", 1, {name}, {{kI32, 1, "Status"}}},
      {"Motor Position", "Return position of selected motor.", 1, {name}, {{kDouble, 1, "Position"}}},
      {"Move Motor", "Moves selected motor", 0, {destination, relative, name}, {dummy}},
      {"Move2Motor", "Moves selected motor", 0, {destination, relative, {kChar, 64, "MotorName"}}, {dummy}},
      {"QuickMoveMotor", "Moves selected motor specified speed", 0,
       {destination, relative, {kU32, 1, "Speed"}, {kChar, 64, "MotorName"}}, {dummy}},
      {"Stop Motor", "Stops selected motor", 0, {name}, {dummy}},
      {"Set Zero", "Set actual position of motor as zero", 1, {name}, {succes}},
      {"Release Motor", "Unplug supply of motor", 0, {name}, {succes}},
      {"ResetMotor", "Reset motor position", 0, {name}, {succes}},
  };
  return table;
}

// Offsets of a 32-bit host; on a wider one everything after the handler pointer moves by the
// pointer's extra bytes.
constexpr std::size_t kPointerExtra = sizeof(void*) - 4;
constexpr std::size_t kInputCount = 4 + kPointerExtra;
constexpr std::size_t kOutputCount = 8 + kPointerExtra;
constexpr std::size_t kInputSlots = 12 + kPointerExtra;
constexpr std::size_t kOutputSlots = 1100 + kPointerExtra;
constexpr std::size_t kPluginName = 2188 + kPointerExtra;
constexpr std::size_t kFunctionName = 2220 + kPointerExtra;
constexpr std::size_t kDescription = 2252 + kPointerExtra;
constexpr std::size_t kDescriptorEnd = 2392 + kPointerExtra;  // after the 12 zero bytes
constexpr std::size_t kSlotSize = 136;
constexpr std::size_t kEventSize = 192;

using Bytes = std::vector<unsigned char>;

inline void PutInt(Bytes& image, std::size_t offset, std::int32_t value) {
  for (int i = 0; i < 4; ++i) image[offset + i] = static_cast<unsigned char>(static_cast<std::uint32_t>(value) >> (8 * i));
}

inline void PutText(Bytes& image, std::size_t offset, const char* text) {
  std::memcpy(image.data() + offset, text, std::strlen(text));
}

inline void PutSlots(Bytes& image, std::size_t offset, const std::vector<Parameter>& slots) {
  for (const Parameter& p : slots) {
    PutInt(image, offset, p.type);
    PutInt(image, offset + 4, p.count);
    PutText(image, offset + 8, p.name);
    offset += kSlotSize;
  }
}

// The descriptor's bytes up to the end of its reserved zeros, the handler pointer left zero.
inline Bytes DescriptorImage(const Function& f) {
  Bytes image(kDescriptorEnd, 0);
  PutInt(image, kInputCount, static_cast<std::int32_t>(f.inputs.size()));
  PutInt(image, kOutputCount, f.declaredOutputs);
  PutSlots(image, kInputSlots, f.inputs);
  PutSlots(image, kOutputSlots, f.outputs);
  PutText(image, kPluginName, "mervane");
  PutText(image, kFunctionName, f.name);
  PutText(image, kDescription, f.description);
  return image;
}

inline Bytes EventImage() {
  Bytes image(kEventSize, 0);
  PutText(image, 0, "mervane");
  PutText(image, 32, "Motor Stopped");
  PutText(image, 64, "One of motors has been stopped");
  return image;
}

// "" when the registered bytes equal the image (the handler pointer excepted, which must be
// set); else where they first differ.
inline std::string CompareDescriptor(const void* registered, const Function& f) {
  const auto* bytes = static_cast<const unsigned char*>(registered);
  void* handler = nullptr;
  std::memcpy(&handler, bytes, sizeof handler);
  if (handler == nullptr) return std::string(f.name) + ": no handler";
  const Bytes image = DescriptorImage(f);
  for (std::size_t i = sizeof(void*); i < image.size(); ++i)
    if (bytes[i] != image[i])
      return std::string(f.name) + ": byte " + std::to_string(i) + " is " + std::to_string(bytes[i]) + ", expected " +
             std::to_string(image[i]);
  return "";
}

inline std::string CompareEvent(const void* registered) {
  const Bytes image = EventImage();
  return std::memcmp(registered, image.data(), image.size()) == 0 ? "" : "event descriptor differs";
}

}  // namespace plugin_expect
