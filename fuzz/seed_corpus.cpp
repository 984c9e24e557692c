// Writes the seed corpora of the fuzz targets with the real database writer
// and bytecode encoder: `veltor_fuzz_seeds FOLDER` fills FOLDER/<target>/.
// Seeds are small, valid inputs of every kind a target reads, so that the
// fuzzer starts from the records and expressions our tools really write;
// the database seeds start from the tests' sample database.
#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/engine_input.h"
#include "fuzz/evaluator_input.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/matcher_input.h"
#include "engine/rules/evaluator.h"
#include "tests/archive/archive_writer.h"
#include "support/records.h"
#include "compiler/rulelang/compiler.h"
#include "compiler/rulelang/database_image.h"
#include "compiler/rulelang/source_printer.h"
#include "compiler/bytecode/bytecode_encoder.h"

namespace veltor::fuzz {
namespace {

using namespace veltor::bytecode;
using namespace veltor::testing;
using namespace std::string_view_literals;
namespace fs = std::filesystem;

std::vector<uint8_t> Code(const ExpressionNode& node) { return Encode(node).value(); }

std::vector<std::pair<std::string, std::vector<uint8_t>>> DatabaseBodySeeds() {
  BodyOptions rulesFirst;
  rulesFirst.order = TableOrder::RulesFirst;
  rulesFirst.gapBeforeTables = 8;
  rulesFirst.gapBetweenTables = 5;
  rulesFirst.signatureTableSlack = 3;
  rulesFirst.bytesAfterTotalSize = 7;
  rulesFirst.buildTime = 0x01DA'0000'0000'0000ull;
  BodyOptions overrunning;  // a record that claims more than its table holds
  std::vector<SignatureInput> signatures = {Signature(1, "abc")};
  signatures[0].patternLengthField = 1000;
  return {
      {"empty", WriteDatabaseBody({}, {})},
      {"sample", SampleBody()},
      {"rules-first-with-gaps", SampleBody(rulesFirst)},
      {"one-signature", WriteDatabaseBody(std::vector<SignatureInput>{Signature(7, "x")}, {})},
      {"overrunning-record", WriteDatabaseBody(signatures, {}, overrunning)},
  };
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> EvaluatorSeeds() {
  EvaluatorInput library;
  library.signatures = {Signature(1, "a"), Signature(2, "bc", SignatureFlagExactCase), Signature(3, "")};
  library.rules = {Rule(1, "", Or(SignatureRef(1), RuleRef(2)), RuleFlagTopLevel),
                   Rule(2, "", And(RuleRef(1), SignatureRef(2)), 0),
                   Rule(3, "", Sum(RuleRef(3), Int32(1)), RuleFlagTopLevel),
                   Rule(4, "", Quotient(Float64(1.0), Power(SignatureRef(3), Float32(-0.5f))), RuleFlagTopLevel)};
  library.hitFlags = 0x05;

  std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
  const auto add = [&](std::string name, const std::vector<uint8_t>& expression) {
    EvaluatorInput input = library;
    input.expression = expression;
    seeds.emplace_back(std::move(name), EncodeEvaluatorInput(input));
  };
  add("references", Code(Xor(RuleRef(1), RuleRef(3), Not(SignatureRef(2)))));
  add("arithmetic", Code(Difference(Product(Int32(-7), Float64(1e300), Float64(1e300)), Root(Int32(-8), Int32(3)))));
  add("comparisons", Code(And(Greater(Int32(2), Int32(1)), GreaterEqual(Float32(1.0f), Bool(true)),
                              Equal(Int32(0), Float64(0.0)), Less(Int32(-1), Int32(0)), Max(), Min())));
  add("cut-node", Code(Or(SignatureRef(1), Cut(Sum(Int32(1), Int32(2)), 9))));
  add("unknown-opcode", Code(Aggregate(0x1234, {Int32(1), Aggregate(7, {})})));
  add("deep-chain", EncodeNestedChain(OpNot, MaxEvaluationDepth + 10, RuleRef(1)).value());

  // A chain of references deeper than the depth limit allows: rule k refers
  // to rule k + 1, and the expression nests around the first reference.
  EvaluatorInput chain;
  for (uint32_t k = 0; k < 7; ++k) chain.rules.push_back(Rule(k, "", Sum(RuleRef(k + 1), Int32(1))));
  const std::vector<uint8_t> nested = EncodeNestedChain(OpMax, 990, RuleRef(0)).value();
  chain.expression = nested;
  seeds.emplace_back("reference-chain", EncodeEvaluatorInput(chain));
  return seeds;
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> MatcherSeeds() {
  const auto pattern = [](std::string_view bytes, bool exactCase, int32_t tag) {
    return MatcherPattern{Bytes(bytes), exactCase, tag};
  };
  std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
  const auto add = [&](std::string name, std::vector<MatcherPattern> patterns, std::string_view haystack,
                       bool rebuild = false) {
    MatcherInput input;
    input.patterns = std::move(patterns);
    input.addLastAfterSearch = rebuild;
    const std::vector<uint8_t> bytes = Bytes(haystack);
    input.haystack = bytes;
    seeds.emplace_back(std::move(name), EncodeMatcherInput(input));
  };
  add("short-only", {pattern("a", false, 1), pattern("ab", true, 2), pattern("b", false, 3)}, "xxabABaBba");
  add("long", {pattern("ABCDE", false, 1), pattern("cde", true, 2), pattern("abcdef", false, 3)},
      "xxabcdeABCDEFabcdef");
  add("mixed-duplicates", {pattern("abc", false, 5), pattern("abc", false, 6), pattern("a", true, 7), pattern("Abc", true, 8)},
      "aaaabcabcABC");
  add("high-nibble-bucket", {pattern("\x41xy", false, 1), pattern("\x51xy", false, 2)}, "AxyQxyqxy");
  add("repeated-byte", {pattern("aaa", false, 1)}, "aaaa");
  add("overlong", {pattern(std::string(260, 'k'), false, 1), pattern("kkkk", false, 2)}, std::string(270, 'k'));
  add("rebuild", {pattern("needle", false, 1), pattern("hay", false, 2)}, "haystack with a needle", true);
  return seeds;
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> EngineSeeds() {
  const std::vector<uint8_t> body = SampleBody();
  const std::vector<uint8_t> shortBody = WriteDatabaseBody(
      std::vector<SignatureInput>{Signature(1, "ab"), Signature(2, "z", SignatureFlagWide)},
      std::vector<RuleInput>{Rule(1, "Short.Hit", SignatureRef(1)),
                             Rule(2, "Short.Half", Quotient(SignatureRef(2), Int32(2)))});
  const auto text = [](std::string_view s) { return Bytes(s); };
  return {
      {"sample-hits", EncodeEngineInput(body, text("a needle, a WIDE thing, abz and dup"))},
      {"sample-wide", EncodeEngineInput(body, text("w\0i\0d\0e\0M\0i\0x\0e\0d\0"sv))},
      {"sample-nothing", EncodeEngineInput(body, text("nothing to see"))},
      {"short-patterns", EncodeEngineInput(shortBody, text("xxab z\0"sv))},
      {"empty-database", EncodeEngineInput(WriteDatabaseBody({}, {}), text("abc"))},
  };
}

// Hand-written sources in every statement form, and the decompiler's
// printout of the sample databases.
std::vector<std::pair<std::string, std::vector<uint8_t>>> RuleCompilerSeeds() {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds = {
      {"signatures", Bytes("signature mz exact = { 4D 5A 90 00 };\n"
                           "signature stub wide = \"This program cannot be run\\x00 \\u{20AC}\";\n"
                           "signature dropper id 7 = \"dropper\" extra { 01 02 };\n"
                           "rule Trojan.Dropper.Generic report = mz and (stub or dropper);\n")},
      {"rules", Bytes("signature a = \"a\"; signature b = \"bb\";\n"
                      "rule \"Suspicious packer (weak)\" = a and not b;\n"
                      "rule Packed.Score report = rule[\"Suspicious packer (weak)\"] * 0.6 + 0.5 * b;\n"
                      "rule Mixed report = max(1, 2f) <= root(9, 2) or 2 ^ -1 ^ 3 == 1 xor op(7, 1, sig[9]);\n"
                      "rule Cycle = Cycle or rule[1];\n")},
      {"literals", Bytes("rule L report = float64bits(0x7FF0000000000001) + float32(nan) + inf - -0.0 + bool(2) + "
                         "1e-3 + 0x2A + 1.5f + -2147483648 > 0;\n")},
  };
  std::string error;
  for (const auto& [name, body] : DatabaseBodySeeds()) {
    const auto contents = rulelang::ReadBody(body, error);
    if (!contents) continue;
    seeds.emplace_back("dump-" + name, Bytes(rulelang::PrintDatabaseSource(contents->entries, "seed " + name)));
  }
  return seeds;
}

// The database_body seeds, and bodies the compiler wrote.
std::vector<std::pair<std::string, std::vector<uint8_t>>> DumpCompileSeeds() {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds = DatabaseBodySeeds();
  for (const auto& [name, source] : RuleCompilerSeeds()) {
    const std::vector<rulelang::SourceFile> files{{name, std::string(source.begin(), source.end())}};
    const rulelang::CompileResult compiled = rulelang::CompileSources(files);
    if (compiled.diagnostics.HasErrors()) continue;
    seeds.emplace_back("compiled-" + name, rulelang::WriteBody(compiled.entries, 0x01DA'0000'0000'0000ull));
  }
  return seeds;
}

// Small archives of each kind the walk opens, one nested, one cut short:
// written by libarchive, one member's first byte prefixed (the archive
// target's stop choice, 0: never stop).
std::vector<uint8_t> WriteArchive(archive::Setup format, archive::Setup filter,
                                  const std::vector<archive::Member>& members) {
  std::vector<archive::Setup> filters;
  if (filter != nullptr) filters.push_back(filter);
  const std::string bytes = archive::Write(format, filters, members);
  std::vector<uint8_t> out{0};
  out.insert(out.end(), bytes.begin(), bytes.end());
  return out;
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> ArchiveSeeds() {
  const std::vector<archive::Member> members{{"docs/a.txt", "hello archive"}, {"b.bin", std::string(300, 'b')}};
  std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds{
      {"zip", WriteArchive(archive_write_set_format_zip, nullptr, members)},
      {"tar-gz", WriteArchive(archive_write_set_format_ustar, archive_write_add_filter_gzip, members)},
      {"tar-xz", WriteArchive(archive_write_set_format_ustar, archive_write_add_filter_xz, members)},
      {"cpio-bz2", WriteArchive(archive_write_set_format_cpio_newc, archive_write_add_filter_bzip2, members)},
      {"7z", WriteArchive(archive_write_set_format_7zip, nullptr, members)},
      {"ar-zst", WriteArchive(archive_write_set_format_ar_svr4, archive_write_add_filter_zstd, {{"a.o", "x"}})},
      {"raw-gz", WriteArchive(archive_write_set_format_raw, archive_write_add_filter_gzip, {{"data", "raw"}})},
  };
  const std::vector<uint8_t> zip = seeds.front().second;
  seeds.emplace_back("nested", WriteArchive(archive_write_set_format_pax_restricted, nullptr,
                                            {{"inner.zip", std::string(zip.begin() + 1, zip.end())}}));
  std::vector<uint8_t> cut = seeds[1].second;
  cut.resize(cut.size() / 2);
  seeds.emplace_back("tar-gz-cut", cut);
  // A zip behind a program, as self-extractors are.
  std::vector<uint8_t> program{0, 'M', 'Z'};
  program.insert(program.end(), zip.begin() + 1, zip.end());
  seeds.emplace_back("program-zip", program);
  // The property test's random files: containers and compressions nested
  // up to three deep, zeros before members, trailing data.
  std::mt19937 random(21);
  for (int count = 0; count < 16;) {
    std::string name = "f";
    const archive::generator::GeneratedFile file = archive::generator::Generate(random, "needle", name);
    if (file.bytes.size() > (size_t{32} << 10) || name == "f") continue;  // small, not a plain file
    std::vector<uint8_t> bytes{0};
    bytes.insert(bytes.end(), file.bytes.begin(), file.bytes.end());
    seeds.emplace_back("generated-" + std::to_string(count++) + "-" + name, std::move(bytes));
  }
  return seeds;
}

// Conversations in the clamd protocol, the first byte choosing the pieces
// the rest arrives in: each command form, a session, a stream of chunks,
// a stream cut short.
std::vector<std::pair<std::string, std::vector<uint8_t>>> ClamdProtocolSeeds() {
  auto bytes = [](std::string_view text) { return std::vector<uint8_t>(text.begin(), text.end()); };
  auto chunk = [](std::string_view data) {
    const auto n = static_cast<uint32_t>(data.size());
    std::string out{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                    static_cast<char>(n)};
    return out.append(data);
  };
  using namespace std::string_literals;
  return {
      {"ping", bytes("\x05zPING\0nVERSION\nSTATS\n"s)},
      {"session", bytes("\x03zIDSESSION\0zPING\0zSCAN /tmp/x\0\0zFILDES\0zEND\0"s)},
      {"stream", bytes("\x10zINSTREAM\0"s + chunk("hello ") + chunk("world") + chunk("") + "nPING\n")},
      {"cut", bytes("\x00nINSTREAM\n"s + chunk(std::string(300, 'a')).substr(0, 100))},
  };
}

// ICAP conversations, the first byte choosing the pieces: OPTIONS, a
// RESPMOD with a preview continued, a REQMOD ended in its preview, a request
// cut short.
std::vector<std::pair<std::string, std::vector<uint8_t>>> IcapProtocolSeeds() {
  auto bytes = [](std::string_view text) { return std::vector<uint8_t>(text.begin(), text.end()); };
  using namespace std::string_literals;
  const std::string req = "GET /x HTTP/1.1\r\nHost: o\r\n\r\n";
  const std::string res = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n";
  const std::string respmod = "RESPMOD icap://127.0.0.1:1344/veltor ICAP/1.0\r\nHost: h\r\nAllow: 204\r\nPreview: 4\r\n"
                              "Encapsulated: req-hdr=0, res-hdr=" + std::to_string(req.size()) +
                              ", res-body=" + std::to_string(req.size() + res.size()) + "\r\n\r\n" + req + res;
  return {
      {"options", bytes("\x05OPTIONS icap://h/veltor ICAP/1.0\r\nEncapsulated: null-body=0\r\n\r\n"s)},
      {"respmod", bytes("\x10"s + respmod + "4\r\nabcd\r\n0\r\n\r\n3; x\r\nefg\r\n0\r\n\r\n")},
      {"reqmod", bytes("\x03REQMOD /veltor ICAP/1.0\r\nPreview: 8\r\nEncapsulated: req-hdr=0, req-body=" +
                       std::to_string(req.size()) + "\r\n\r\n" + req + "2\r\nab\r\n0; ieof\r\n\r\n")},
      {"cut", bytes("\x00"s + respmod + "100\r\nab")},
  };
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> HttpRequestSeeds() {
  auto bytes = [](std::string_view text) { return std::vector<uint8_t>(text.begin(), text.end()); };
  using namespace std::string_literals;
  return {
      {"get", bytes("\x07GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\nGET /metrics HTTP/1.0\r\n\r\n"s)},
      {"post", bytes("\x20POST /v1/scan HTTP/1.1\r\nContent-Length: 11\r\nExpect: 100-continue\r\n\r\nhello world"
                     "DELETE /v1/scan HTTP/1.1\r\n\r\n"s)},
      {"chunked", bytes("\x03PUT /v1/scan?x=1 HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                        "5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\nTrailer: t\r\n\r\nGET /nowhere HTTP/1.1\r\n\r\n"s)},
      {"large", bytes("\x00POST /v1/scan HTTP/1.1\r\nContent-Length: 5000\r\n\r\nabc"s)},
  };
}

void WriteSeeds(const fs::path& folder, const std::vector<std::pair<std::string, std::vector<uint8_t>>>& seeds) {
  fs::create_directories(folder);
  for (const auto& [name, bytes] : seeds) WriteWholeFile((folder / ("seed-" + name)).string(), bytes);
}

}  // namespace
}  // namespace veltor::fuzz

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
    return 2;
  }
  using namespace veltor::fuzz;
  const std::filesystem::path root = argv[1];
  WriteSeeds(root / "database_body", DatabaseBodySeeds());
  WriteSeeds(root / "evaluator", EvaluatorSeeds());
  WriteSeeds(root / "matcher", MatcherSeeds());
  WriteSeeds(root / "scan_path", MatcherSeeds());  // the same input format
  WriteSeeds(root / "engine", EngineSeeds());
  WriteSeeds(root / "rule_compiler", RuleCompilerSeeds());
  WriteSeeds(root / "dump_compile", DumpCompileSeeds());
  WriteSeeds(root / "archive", ArchiveSeeds());
  WriteSeeds(root / "clamd_protocol", ClamdProtocolSeeds());
  WriteSeeds(root / "http_request", HttpRequestSeeds());
  WriteSeeds(root / "icap_protocol", IcapProtocolSeeds());
  return 0;
}
