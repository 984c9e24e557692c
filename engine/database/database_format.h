#pragma once
// The database file format, shared by the loader and by every tool that
// writes databases: one description of the layout, not two.
//
// File:  [256-byte envelope header: EnvelopeMagic + 240 free bytes]
//        [body, RC4-encrypted as one stream]
// Body:  [128-byte DatabaseHeader][signature table][rule table], tables at
//        the offsets the header gives, each guarded by a CRC-32.
#include <array>
#include <cstdint>
#include <span>

namespace veltor {

// Envelope.
inline constexpr std::array<uint8_t, 16> EnvelopeMagic = {
    0xCD, 0x20, 0x0D, 0x0A, 'Q', 'Z', 'D', 'A', 'T', 'A', '.', 'V', 'L', 'B', 0x1A, 0x1A};
inline constexpr uint32_t EnvelopeHeaderSize = 256;

// The largest database file or image: sizes are signed 32-bit counts, so one
// of 2 GiB or more is refused whole, never read as the low half of its size.
inline constexpr uint64_t MaxDatabaseSize = 0x7FFFFFFF;

// Body header.
inline constexpr std::array<uint8_t, 4> BodyMagic = {'Q', 'D', 'L', 'B'};
inline constexpr uint32_t BodyHeaderSize = 128;
inline constexpr uint32_t HeaderCrcCoverage = 116;  // headerCrc covers bytes 0..115

// The body header, field for field. Decoded and encoded through
// HeaderWordFields below, so that the offsets live in one place.
struct DatabaseHeader {
  std::array<uint8_t, 4> magic{};
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  uint32_t buildTimeLow = 0;   // FILETIME (UTC), 100 ns units since 1601-01-01
  uint32_t buildTimeHigh = 0;
  uint32_t totalSize = 0;
  uint32_t signatureTableOffset = 0;
  uint32_t signatureTableLength = 0;
  uint32_t signatureCount = 0;
  uint32_t ruleTableOffset = 0;
  uint32_t ruleTableLength = 0;
  uint32_t ruleCount = 0;
  std::array<uint8_t, 68> reservedArea{};
  uint32_t headerCrc = 0;
  uint32_t signatureTableCrc = 0;
  uint32_t ruleTableCrc = 0;
};

struct HeaderWordField {
  uint32_t offset;
  uint32_t DatabaseHeader::*member;
};

inline constexpr HeaderWordField HeaderWordFields[] = {
    {4, &DatabaseHeader::reserved1},
    {8, &DatabaseHeader::reserved2},
    {12, &DatabaseHeader::buildTimeLow},
    {16, &DatabaseHeader::buildTimeHigh},
    {20, &DatabaseHeader::totalSize},
    {24, &DatabaseHeader::signatureTableOffset},
    {28, &DatabaseHeader::signatureTableLength},
    {32, &DatabaseHeader::signatureCount},
    {36, &DatabaseHeader::ruleTableOffset},
    {40, &DatabaseHeader::ruleTableLength},
    {44, &DatabaseHeader::ruleCount},
    {116, &DatabaseHeader::headerCrc},
    {120, &DatabaseHeader::signatureTableCrc},
    {124, &DatabaseHeader::ruleTableCrc},
};
inline constexpr uint32_t HeaderMagicOffset = 0;
inline constexpr uint32_t HeaderReservedAreaOffset = 48;

DatabaseHeader DecodeDatabaseHeader(std::span<const uint8_t, BodyHeaderSize> bytes) noexcept;
std::array<uint8_t, BodyHeaderSize> EncodeDatabaseHeader(const DatabaseHeader& header) noexcept;

inline uint64_t BuildTime(const DatabaseHeader& header) noexcept {
  return static_cast<uint64_t>(header.buildTimeHigh) << 32 | header.buildTimeLow;
}

// Signature record: id, flags, reserved1, patternLength, extraLength,
// reserved2 (u32 each), then the pattern and the extra bytes.
inline constexpr uint32_t SignatureRecordFixedSize = 24;
// Rule record: id, flags, nameLength (u32 each), the name,
// expressionLength (u32), the expression.
inline constexpr uint32_t RuleRecordFixedSize = 16;

// Record flags.
inline constexpr uint32_t SignatureFlagExactCase = 0x2;
inline constexpr uint32_t SignatureFlagWide = 0x4;
inline constexpr uint32_t RuleFlagTopLevel = 0x1;

}  // namespace veltor
