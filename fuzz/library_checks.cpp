#include "fuzz/library_checks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace veltor::fuzz {
namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// A byte string from an owned buffer; length 0 requires a null buffer.
std::string Field(const uint8_t* bytes, uint32_t length, uint32_t terminators) {
  if (length == 0) {
    Require(bytes == nullptr);
    return {};
  }
  Require(bytes != nullptr);
  for (uint32_t k = 0; k < terminators; ++k) Require(bytes[length + k] == 0);
  return std::string(reinterpret_cast<const char*>(bytes), length);
}

using SignatureKey = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, std::string, std::string>;
using RuleKey = std::tuple<uint32_t, uint32_t, std::string, std::string>;

std::vector<SignatureKey> SignatureKeys(const SignatureLibrary& library) {
  std::vector<SignatureKey> keys;
  for (const SignatureRecord& s : Signatures(library)) {
    keys.emplace_back(s.id, s.flags, s.reserved1, s.reserved2, Field(s.pattern.get(), s.patternLength, 2),
                      Field(s.extra.get(), s.extraLength, 2));
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::vector<RuleKey> RuleKeys(const SignatureLibrary& library) {
  std::vector<RuleKey> keys;
  for (const RuleRecord& r : Rules(library)) {
    keys.emplace_back(r.id, r.flags, Field(reinterpret_cast<const uint8_t*>(r.name.get()), r.nameLength, 2),
                      Field(r.expression.get(), r.expressionLength, 0));
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

}  // namespace

void CheckLibrary(const SignatureLibrary& library) {
  Require((library.signatures != nullptr) == (library.header.signatureCount != 0));
  Require((library.rules != nullptr) == (library.header.ruleCount != 0));
  const auto signatures = Signatures(library);
  Require(std::is_sorted(signatures.begin(), signatures.end(),
                         [](const SignatureRecord& a, const SignatureRecord& b) { return a.id < b.id; }));
  const auto rules = Rules(library);
  Require(std::is_sorted(rules.begin(), rules.end(),
                         [](const RuleRecord& a, const RuleRecord& b) { return a.id < b.id; }));
  SignatureKeys(library);
  RuleKeys(library);
}

void CheckSameLibrary(const SignatureLibrary& a, const SignatureLibrary& b) {
  Require(std::memcmp(&a.header, &b.header, sizeof a.header) == 0);
  Require(SignatureKeys(a) == SignatureKeys(b));
  Require(RuleKeys(a) == RuleKeys(b));
}

}  // namespace veltor::fuzz
