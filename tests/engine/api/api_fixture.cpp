#include "engine/api/api_fixture.h"

#include "compiler/dbwriter/database_envelope.h"

namespace veltor::testing {

const VeltorExports& Veltor() {
  static const VeltorLibrary library(BuiltLibraryPath());
  return library.exports();
}

std::filesystem::path WriteDatabase(const TempDir& dir, std::string_view fileName,
                                    const std::vector<SignatureInput>& signatures,
                                    const std::vector<RuleInput>& rules, uint64_t buildTime) {
  BodyOptions options;
  options.buildTime = buildTime;
  const auto body = WriteDatabaseBody(signatures, rules, options);
  return dir.Write(fileName, SealDatabase(body));
}

void VELTOR_CALL CollectAnsi(int32_t level, const char* name, void* userData) {
  auto* reports = static_cast<std::vector<AnsiReport>*>(userData);
  reports->push_back({level, name != nullptr ? std::optional<std::string>(name) : std::nullopt});
}

void VELTOR_CALL CollectWide(int32_t level, const VeltorWideChar* name, void* userData) {
  auto* reports = static_cast<std::vector<WideReport>*>(userData);
  std::u16string text;
  for (const VeltorWideChar* unit = name; *unit != 0; ++unit) text.push_back(static_cast<char16_t>(*unit));
  reports->push_back({level, text});
}

Handle Open(const std::filesystem::path& database) { return Handle(Veltor().newA(database.string().c_str())); }

std::vector<AnsiReport> ScanText(ScanHandle* handle, std::string_view text, int32_t* result) {
  std::vector<AnsiReport> reports;
  const int32_t count =
      Veltor().memoryA(handle, text.data(), static_cast<int32_t>(text.size()), CollectAnsi, &reports);
  if (result != nullptr) *result = count;
  return reports;
}

std::u16string WidePath(const std::filesystem::path& path) {
  const auto text = path.u16string();
  return std::u16string(text.begin(), text.end());
}

}  // namespace veltor::testing
