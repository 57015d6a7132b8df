#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <systemd/sd-bus.h>

#include <string>
#include <string_view>

namespace norvel::fuzz {

// The interfaces the backend uses.
inline constexpr std::string_view kInterfaces[] = {"org.bluez.Adapter1", "org.bluez.Device1",
                                                   "org.bluez.GattService1",
                                                   "org.bluez.GattCharacteristic1"};

// Appends fuzzer-chosen values to a message, following a signature the fuzzer may bend: any
// complete type may become another one, arrays get any number of elements, variants hold
// any type at any depth, and strings get any bytes: names BlueZ uses, or raw bytes that go
// in unchecked, as a peer could send them, even where sd-bus would refuse them on append.
// Object paths and signatures are always valid ones, since sd-bus checks those on receipt.
class MessageWriter {
 public:
  MessageWriter(FuzzedDataProvider& input, sd_bus_message* message)
      : input_(input), message_(message) {}

  // Appends one value per complete type of the signature; false once sd-bus refused one.
  bool write(std::string_view signature);

  // Appends a string of any bytes, unchecked; false when sd-bus refused it.
  bool writeString(std::string_view bytes);

  // A valid object path made of elements BlueZ uses and fuzzer-chosen ones.
  static std::string objectPath(FuzzedDataProvider& input);

 private:
  bool writeType(std::string_view type, int depth);
  bool writeBasic(char type);
  bool writeContainer(char kind, std::string_view contents, int depth);
  std::string bend(std::string_view type, int depth);
  std::string randomType(int depth);
  std::string basicType();

  FuzzedDataProvider& input_;
  sd_bus_message* message_;
};

}  // namespace norvel::fuzz
