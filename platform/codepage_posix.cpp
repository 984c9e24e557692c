// Windows-1252 standing in for the ANSI code page outside Windows, converted
// as Windows converts it. The code page is one byte per UTF-16 unit in both
// directions, so the output always has exactly as many units as the input.
#include <array>
#include <cstddef>
#include <limits>

#include "platform/platform.h"

namespace veltor::platform {
namespace {

// Bytes 0x80-0x9F. Everything else maps to the code point of the same value.
// The five bytes the code page leaves undefined (0x81 0x8D 0x8F 0x90 0x9D)
// map to the C1 controls of the same value, as Windows maps them, so that
// every byte survives a round trip.
constexpr std::array<char16_t, 32> HighRange = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

constexpr char Unrepresentable = '?';

char16_t ByteToUnit(char byte) {
  const auto value = static_cast<unsigned char>(byte);
  if (value >= 0x80 && value < 0xA0) return HighRange[value - 0x80u];
  return value;
}

char UnitToByte(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  for (std::size_t i = 0; i < HighRange.size(); ++i) {
    if (HighRange[i] == unit) return static_cast<char>(0x80 + i);
  }
  return Unrepresentable;
}

// The number of units to convert: the explicit length, or the string and its
// NUL for -1. Negative for arguments the call refuses.
template <typename Char>
int64_t SourceUnits(const Char* source, int32_t sourceLength) {
  if (source == nullptr || sourceLength == 0 || sourceLength < -1) return -1;
  if (sourceLength > 0) return sourceLength;
  std::size_t length = 0;
  while (source[length] != Char{0}) {
    if (++length >= static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) return -1;
  }
  return static_cast<int64_t>(length) + 1;
}

template <typename From, typename To, typename Map>
int32_t Convert(const From* source, int32_t sourceLength, To* destination, int32_t destinationCapacity,
                Map map) {
  if (destinationCapacity < 0 || (destinationCapacity > 0 && destination == nullptr)) return 0;
  const int64_t units = SourceUnits(source, sourceLength);
  if (units < 0) return 0;
  // A capacity of 0 asks for the size needed.
  if (destinationCapacity == 0) return static_cast<int32_t>(units);
  // Too small: fail before writing anything.
  if (units > destinationCapacity) return 0;
  for (int64_t i = 0; i < units; ++i) destination[i] = map(source[i]);
  return static_cast<int32_t>(units);
}

}  // namespace

int32_t AnsiToWide(const char* source, int32_t sourceLength, char16_t* destination,
                   int32_t destinationCapacity) noexcept {
  return Convert(source, sourceLength, destination, destinationCapacity, ByteToUnit);
}

int32_t WideToAnsi(const char16_t* source, int32_t sourceLength, char* destination,
                   int32_t destinationCapacity) noexcept {
  return Convert(source, sourceLength, destination, destinationCapacity, UnitToByte);
}

}  // namespace veltor::platform
