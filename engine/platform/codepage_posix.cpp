// Windows-1252 standing in for the ANSI code page outside Windows, converted
// as Windows converts it. The code page is one byte per UTF-16 unit in both
// directions, so the output always has exactly as many units as the input.
#include <cstddef>
#include <limits>

#include "engine/platform/platform.h"
#include "engine/text/windows1252.h"

namespace veltor::platform {
namespace {

constexpr char Unrepresentable = '?';

char16_t ByteToUnit(char byte) { return Windows1252ToUnicode(static_cast<uint8_t>(byte)); }

char UnitToByte(char16_t unit) {
  const std::optional<uint8_t> byte = UnicodeToWindows1252(unit);
  return byte ? static_cast<char>(*byte) : Unrepresentable;
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
