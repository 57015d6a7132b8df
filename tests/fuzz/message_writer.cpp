#include "message_writer.h"

#include <cctype>
#include <cstdint>
#include <cstring>

namespace norvel::fuzz {
namespace {

constexpr int kMaxDepth = 6;
constexpr std::string_view kBasicTypes = "ybnqiuxtdsog";

// Properties the backend reads, and values it looks for.
constexpr std::string_view kProperties[] = {"Address", "Connected",        "Name", "Powered",
                                            "RSSI",    "ServicesResolved", "UUID"};
constexpr std::string_view kValues[] = {"C0:FF:EE:12:34:56", "0000fce0-0000-1000-8000-00805f9b34fb",
                                        "f0cd3001-95da-4f4b-9ac8-aa55d312af0c", "Norvel4", ""};
constexpr std::string_view kPathBases[] = {"",
                                           "/org/bluez",
                                           "/org/bluez/hci0",
                                           "/org/bluez/hci1",
                                           "/org/bluez/hci0/dev_C0_FF_EE_12_34_56",
                                           "/org/bluez/hci0/dev_C0_FF_EE_12_34_56/service000c"};
constexpr std::string_view kPathElements[] = {"hci0", "dev_C0_FF_EE_12_34_56", "service000c",
                                              "char000d"};
constexpr std::string_view kSignatures[] = {"", "s", "a{sv}", "(ii)", "v", "aay"};

// The length of the complete type that starts at `at`.
std::size_t completeTypeLength(std::string_view signature, std::size_t at) {
  std::size_t end = at;
  while (end < signature.size() && signature[end] == 'a')
    ++end;
  if (end < signature.size() && (signature[end] == '(' || signature[end] == '{')) {
    int level = 0;
    do {
      level += signature[end] == '(' || signature[end] == '{';
      level -= signature[end] == ')' || signature[end] == '}';
      ++end;
    } while (level > 0 && end < signature.size());
    return end - at;
  }
  return end + 1 - at;
}

template <typename T>
bool appendBasic(sd_bus_message* message, char type, T value) {
  return sd_bus_message_append_basic(message, type, &value) >= 0;
}

}  // namespace

bool MessageWriter::write(std::string_view signature) {
  for (std::size_t at = 0; at < signature.size();) {
    const std::size_t length = completeTypeLength(signature, at);
    if (!writeType(bend(signature.substr(at, length), 0), 0))
      return false;
    at += length;
  }
  return true;
}

std::string MessageWriter::objectPath(FuzzedDataProvider& input) {
  std::string path(input.PickValueInArray(kPathBases));
  for (int elements = input.ConsumeIntegralInRange(0, 3); elements > 0; --elements) {
    std::string element(input.PickValueInArray(kPathElements));
    if (input.ConsumeBool()) {
      element = "dev_";
      for (char c : input.ConsumeRandomLengthString(20)) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_')
          element += c;
      }
    }
    path += "/" + element;
  }
  return path.empty() ? "/" : path;
}

// Sometimes another type in place of `type`, anywhere in it except a dictionary's keys.
std::string MessageWriter::bend(std::string_view type, int depth) {
  if (input_.ConsumeIntegralInRange(0, 15) == 15)
    return randomType(depth);
  if (type.starts_with("a{"))
    return "a{" + std::string(1, type[2]) + bend(type.substr(3, type.size() - 4), depth + 1) + "}";
  if (type.starts_with("a"))
    return "a" + bend(type.substr(1), depth + 1);
  if (type.starts_with("(")) {
    std::string bent = "(";
    for (std::size_t at = 1; at + 1 < type.size();) {
      const std::size_t length = completeTypeLength(type, at);
      bent += bend(type.substr(at, length), depth + 1);
      at += length;
    }
    return bent + ")";
  }
  return std::string(type);
}

std::string MessageWriter::basicType() {
  return std::string(
      1, kBasicTypes[input_.ConsumeIntegralInRange<std::size_t>(0, kBasicTypes.size() - 1)]);
}

std::string MessageWriter::randomType(int depth) {
  const int kind = input_.ConsumeIntegralInRange<int>(0, depth < kMaxDepth ? 15 : 11);
  if (kind < 12)
    return std::string(1, kBasicTypes[static_cast<std::size_t>(kind)]);
  if (kind == 12)
    return "v";
  if (kind == 13)
    return "a" + randomType(depth + 1);
  if (kind == 14)
    return "a{" + basicType() + randomType(depth + 1) + "}";
  std::string members = "(";
  for (int count = input_.ConsumeIntegralInRange(1, 3); count > 0; --count)
    members += randomType(depth + 1);
  return members + ")";
}

bool MessageWriter::writeType(std::string_view type, int depth) {
  switch (type[0]) {
    case 'a':
      return writeContainer('a', type.substr(1), depth);
    case '(':
      return writeContainer('r', type.substr(1, type.size() - 2), depth);
    case 'v':
      return writeContainer('v', randomType(depth + 1), depth);
    default:
      return writeBasic(type[0]);
  }
}

bool MessageWriter::writeContainer(char kind, std::string_view contents, int depth) {
  const std::string owned(contents);
  if (sd_bus_message_open_container(message_, kind, owned.c_str()) < 0)
    return false;
  if (kind == 'a') {
    for (int count = input_.ConsumeIntegralInRange(0, 4); count > 0; --count) {
      const bool ok = contents[0] == '{'
                          ? writeContainer('e', contents.substr(1, contents.size() - 2), depth + 1)
                          : writeType(contents, depth + 1);
      if (!ok)
        return false;
    }
  } else if (kind == 'e') {
    if (!writeBasic(contents[0]) || !writeType(contents.substr(1), depth + 1))
      return false;
  } else {
    for (std::size_t at = 0; at < contents.size();) {
      const std::size_t length = completeTypeLength(contents, at);
      if (!writeType(contents.substr(at, length), depth + 1))
        return false;
      at += length;
    }
  }
  return sd_bus_message_close_container(message_) >= 0;
}

bool MessageWriter::writeBasic(char type) {
  switch (type) {
    case 'b':
      return appendBasic<int>(message_, type, input_.ConsumeBool());
    case 'y':
      return appendBasic(message_, type, input_.ConsumeIntegral<std::uint8_t>());
    case 'n':
      return appendBasic(message_, type, input_.ConsumeIntegral<std::int16_t>());
    case 'q':
      return appendBasic(message_, type, input_.ConsumeIntegral<std::uint16_t>());
    case 'i':
      return appendBasic(message_, type, input_.ConsumeIntegral<std::int32_t>());
    case 'u':
      return appendBasic(message_, type, input_.ConsumeIntegral<std::uint32_t>());
    case 'x':
      return appendBasic(message_, type, input_.ConsumeIntegral<std::int64_t>());
    case 't':
      return appendBasic(message_, type, input_.ConsumeIntegral<std::uint64_t>());
    case 'd':
      return appendBasic(message_, type, input_.ConsumeFloatingPoint<double>());
    case 'o':
      return sd_bus_message_append_basic(message_, type, objectPath(input_).c_str()) >= 0;
    case 'g':
      return sd_bus_message_append_basic(message_, type,
                                         input_.PickValueInArray(kSignatures).data()) >= 0;
    default:
      switch (input_.ConsumeIntegralInRange(0, 3)) {
        case 0:
          return writeString(input_.PickValueInArray(kInterfaces));
        case 1:
          return writeString(input_.PickValueInArray(kProperties));
        case 2:
          return writeString(input_.PickValueInArray(kValues));
        default:
          return writeString(input_.ConsumeRandomLengthString(40));
      }
  }
}

bool MessageWriter::writeString(std::string_view bytes) {
  char* space = nullptr;
  if (sd_bus_message_append_string_space(message_, bytes.size(), &space) < 0)
    return false;
  if (!bytes.empty())
    std::memcpy(space, bytes.data(), bytes.size());
  return true;
}

}  // namespace norvel::fuzz
