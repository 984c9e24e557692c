// The Python package's native part: the engine's scan, explain and rule
// compiler behind a small surface that the package's Python code wraps.
// Scans run without the GIL; a Database keeps a pool of scan handles so that
// several threads can scan with one Database at the same time.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "archive/archive_walk.h"
#include "compiler/rulelang/compiler.h"
#include "compiler/rulelang/database_image.h"
#include "engine/api/explain.h"
#include "engine/api/scan.h"
#include "engine/api/scan_handle.h"
#include "engine/database/database_format.h"
#include "engine/text/windows1252.h"
#include "scanning/scan_archives.h"
#include "scanning/scan_report.h"
#include "scanning/signature_names.h"

namespace py = pybind11;

namespace veltor::python {
namespace {

struct DatabaseLoadError {};

// A rule name (Windows-1252, as stored) as UTF-8; every byte has a character.
std::string NameUtf8(const char* name) {
  return name == nullptr ? std::string() : Utf8FromWindows1252(name);
}

using HandlePtr = std::unique_ptr<ScanHandle>;

// The database image and the idle handles built from it. A scan takes an
// idle handle or builds one more; handles return to the pool afterwards.
struct HandlePool {
  std::vector<uint8_t> image;
  std::mutex mutex;
  std::vector<HandlePtr> idle;

  HandlePtr Take() {
    {
      std::lock_guard lock(mutex);
      if (!idle.empty()) {
        HandlePtr handle = std::move(idle.back());
        idle.pop_back();
        return handle;
      }
    }
    // The image loaded once already, so a failure here is memory.
    auto handle = std::make_unique<ScanHandle>();
    if (!LoadHandleImage(*handle, image)) throw std::bad_alloc();
    return handle;
  }

  void Give(HandlePtr handle) noexcept {
    std::lock_guard lock(mutex);
    try {
      idle.push_back(std::move(handle));
    } catch (...) {
      // No room to keep it: it is freed, and rebuilt when needed.
    }
  }
};

// One handle taken from a pool, given back when the lease ends.
struct Lease {
  std::shared_ptr<HandlePool> pool;
  HandlePtr handle;

  explicit Lease(std::shared_ptr<HandlePool> from) : pool(std::move(from)), handle(pool->Take()) {}
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  ~Lease() {
    if (handle) pool->Give(std::move(handle));
  }
};

using scanning::RuleReport;

// The reports of the scan just finished, as the scan job collects them.
std::vector<RuleReport> CollectReports(const ScanHandle& handle) {
  std::vector<RuleReport> reports;
  if (!scanning::CollectReports(handle, {}, reports)) throw std::bad_alloc();
  return reports;
}

py::list ReportList(const std::vector<RuleReport>& reports) {
  py::list list;
  for (const RuleReport& report : reports) list.append(py::make_tuple(NameUtf8(report.name.c_str()), report.level, report.score));
  return list;
}

// A read-only, contiguous view of any buffer-protocol object, held (and the
// object's buffer pinned) for the view's life.
struct BufferView {
  Py_buffer view{};
  explicit BufferView(const py::object& object) {
    if (PyObject_GetBuffer(object.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() { PyBuffer_Release(&view); }
  std::span<const uint8_t> Bytes() const {
    return {static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)};
  }
};

struct NativeDatabase {
  std::shared_ptr<HandlePool> pool;
  uint64_t buildTime = 0;
  uint32_t signatureCount = 0;
  uint32_t ruleCount = 0;
  uint32_t headerCrc = 0;  // ties a signature name map to this database
};

NativeDatabase LoadImage(const py::object& data) {
  NativeDatabase database;
  database.pool = std::make_shared<HandlePool>();
  {
    BufferView view(data);
    const auto bytes = view.Bytes();
    database.pool->image.assign(bytes.begin(), bytes.end());
  }
  HandlePtr handle = std::make_unique<ScanHandle>();
  bool loaded = false;
  {
    py::gil_scoped_release release;
    loaded = LoadHandleImage(*handle, database.pool->image);
  }
  if (!loaded) throw DatabaseLoadError{};
  database.buildTime = BuildTime(handle->library->header);
  database.signatureCount = handle->library->header.signatureCount;
  database.ruleCount = handle->library->header.ruleCount;
  database.headerCrc = handle->library->header.headerCrc;
  database.pool->Give(std::move(handle));
  return database;
}

py::list ScanBytes(const NativeDatabase& database, const py::object& data) {
  BufferView view(data);
  std::vector<RuleReport> reports;
  {
    py::gil_scoped_release release;
    Lease lease(database.pool);
    BeginScan(*lease.handle);
    FeedScan(*lease.handle, view.Bytes().data(), view.Bytes().size());
    FinishScan(*lease.handle);
    reports = CollectReports(*lease.handle);
  }
  return ReportList(reports);
}

// A streamed scan: holds one handle from begin to finish.
struct NativeStream {
  std::unique_ptr<Lease> lease;

  void Feed(const py::object& data) {
    if (!lease) throw py::value_error("the scan is finished");
    BufferView view(data);
    py::gil_scoped_release release;
    FeedScan(*lease->handle, view.Bytes().data(), view.Bytes().size());
  }

  py::list Finish() {
    if (!lease) throw py::value_error("the scan is finished");
    std::vector<RuleReport> reports;
    {
      py::gil_scoped_release release;
      FinishScan(*lease->handle);
      reports = CollectReports(*lease->handle);
      lease.reset();
    }
    return ReportList(reports);
  }

  void Close() {
    py::gil_scoped_release release;
    lease.reset();
  }
};

NativeStream BeginStream(const NativeDatabase& database) {
  NativeStream stream;
  py::gil_scoped_release release;
  stream.lease = std::make_unique<Lease>(database.pool);
  BeginScan(*stream.lease->handle);
  return stream;
}

// Text from an archive (member names, libarchive's reasons) as str: UTF-8,
// each byte that starts no valid sequence U+FFFD, as veltor scan prints it.
py::str ArchiveText(const std::string& text) {
  PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

py::tuple ArchivePathTuple(const std::vector<std::string>& path) {
  py::tuple tuple(path.size());
  for (size_t i = 0; i < path.size(); ++i) tuple[i] = ArchiveText(path[i]);
  return tuple;
}

// The members of the archive open as `descriptor` (read from its start),
// each scanned: (reports as (archive_path, rule, level, score), problems as
// (archive_path, incomplete, reason)). Both empty for a file that is not an
// archive.
// Walks an archive with a handle leased for it, members inside members
// each with a handle of their own level; `walk` calls ScanArchiveMembers
// over the caller's input. (reports, problems) as the package takes them.
template <typename WalkFunction>
py::tuple WalkMembers(const NativeDatabase& database, uint32_t maxDepth, uint64_t maxUnpacked, uint64_t maxMembers,
                      uint64_t maxRatio, const WalkFunction& walk) {
  if (!archive::ArchivesSupported()) throw py::value_error("this build cannot open archives (built without libarchive)");
  scanning::ArchiveSettings settings;
  settings.limits = {maxDepth, maxUnpacked, maxMembers, maxRatio};
  scanning::FileOutcome outcome;
  {
    py::gil_scoped_release release;
    Lease lease(database.pool);
    std::vector<std::unique_ptr<Lease>> levels;
    const scanning::MemberHandles more = [&](uint32_t level) -> ScanHandle* {
      while (levels.size() < level - 1) levels.push_back(std::make_unique<Lease>(database.pool));
      return levels[level - 2]->handle.get();
    };
    walk(*lease.handle, more, settings, outcome);
  }
  py::list reports;
  for (const RuleReport& member : outcome.reports) {
    reports.append(py::make_tuple(ArchivePathTuple(member.archivePath), NameUtf8(member.name.c_str()), member.level,
                                  member.score));
  }
  py::list problems;
  for (const scanning::ArchiveNote& note : outcome.archiveNotes) {
    problems.append(py::make_tuple(ArchivePathTuple(note.archivePath), note.incomplete, ArchiveText(note.reason)));
  }
  return py::make_tuple(reports, problems);
}

py::tuple WalkArchive(const NativeDatabase& database, int descriptor, const std::string& name, uint32_t maxDepth,
                      uint64_t maxUnpacked, uint64_t maxMembers, uint64_t maxRatio) {
  scanning::InputFile file;  // borrowed: the caller closes it
  file.descriptor = descriptor;
  file.regular = true;
  return WalkMembers(database, maxDepth, maxUnpacked, maxMembers, maxRatio,
                     [&](ScanHandle& handle, const scanning::MemberHandles& more,
                         const scanning::ArchiveSettings& settings, scanning::FileOutcome& outcome) {
                       scanning::ScanArchiveMembers(file, name, handle, more, settings, outcome);
                     });
}

// The same over any contiguous buffer, read in place (the caller's object
// is held, and its buffer exported, for the walk).
py::tuple WalkArchiveBytes(const NativeDatabase& database, const py::object& data, const std::string& name,
                           uint32_t maxDepth, uint64_t maxUnpacked, uint64_t maxMembers, uint64_t maxRatio) {
  BufferView view(data);
  return WalkMembers(database, maxDepth, maxUnpacked, maxMembers, maxRatio,
                     [&](ScanHandle& handle, const scanning::MemberHandles& more,
                         const scanning::ArchiveSettings& settings, scanning::FileOutcome& outcome) {
                       scanning::ScanArchiveMembers(view.Bytes(), name, handle, more, settings, outcome);
                     });
}

// (signatures, rules): signatures as (index, id, (count, offsets) plain,
// (count, offsets) wide); rules as (index, id, name, top_level, score,
// level, references, reason), a reference as (is_rule, id, declared, value).
py::tuple ExplainBytes(const NativeDatabase& database, const py::object& data) {
  BufferView view(data);
  if (view.Bytes().size() > MaxExplainLength) throw py::value_error("explain takes at most 2 GiB - 1 bytes");
  Explanation explanation;
  std::vector<std::string> names;
  {
    py::gil_scoped_release release;
    Lease lease(database.pool);
    if (!ExplainScan(*lease.handle, view.Bytes(), explanation)) throw std::bad_alloc();
    const auto rules = Rules(*lease.handle->library);
    names.reserve(rules.size());
    for (const RuleRecord& rule : rules) names.push_back(NameUtf8(rule.name.get()));
  }
  const auto form = [](const FormOccurrences& occurrences) {
    return py::make_tuple(occurrences.count, py::cast(occurrences.offsets));
  };
  py::list signatures;
  for (const SignatureExplanation& signature : explanation.signatures) {
    signatures.append(py::make_tuple(signature.index, signature.id, form(signature.plain), form(signature.wide)));
  }
  py::list rules;
  for (const RuleExplanation& rule : explanation.rules) {
    py::list references;
    for (const ExplainedReference& reference : rule.references) {
      references.append(py::make_tuple(reference.isRule, reference.id, reference.declared, reference.value));
    }
    rules.append(py::make_tuple(rule.index, rule.id, names[rule.index], rule.topLevel, rule.score, rule.level,
                                references, LevelReason(rule)));
  }
  return py::make_tuple(signatures, rules);
}

// (image or None, diagnostics as (is_error, file, line, column, message)).
py::tuple Compile(const std::string& source, const std::string& path, std::optional<int64_t> unixSeconds) {
  std::vector<rulelang::SourceFile> files{{path, source}};
  rulelang::CompileResult result;
  std::vector<uint8_t> image;
  {
    py::gil_scoped_release release;
    result = rulelang::CompileSources(files);
    if (!result.diagnostics.HasErrors()) {
      uint64_t buildTime = 0;
      if (unixSeconds) {
        buildTime = rulelang::FileTimeFromUnixSeconds(*unixSeconds);
      } else {
        const auto ticks = std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>>(
            std::chrono::system_clock::now().time_since_epoch());
        buildTime = rulelang::FileTimeFromUnixSeconds(0) + static_cast<uint64_t>(ticks.count());
      }
      image = rulelang::WriteDatabaseImage(result.entries, buildTime);
    }
  }
  py::list diagnostics;
  for (const rulelang::Diagnostic& diagnostic : result.diagnostics.items) {
    diagnostics.append(py::make_tuple(diagnostic.severity == rulelang::Severity::Error,
                                      files[diagnostic.position.file].path, diagnostic.position.line,
                                      diagnostic.position.column, diagnostic.message));
  }
  if (result.diagnostics.HasErrors()) return py::make_tuple(py::none(), diagnostics);
  return py::make_tuple(py::bytes(reinterpret_cast<const char*>(image.data()), image.size()), diagnostics);
}

// The names of a signature name map's text (NAME.vlb.names) as {id: name};
// ValueError when it is not one, or not this database's.
py::dict ParseNames(const NativeDatabase& database, const py::bytes& text) {
  std::string error;
  const std::optional<scanning::SignatureNames> names =
      scanning::ParseSignatureNames(std::string_view(text), database.headerCrc, error);
  if (!names) throw py::value_error(error);
  py::dict out;
  for (const auto& [id, name] : *names) out[py::int_(id)] = ArchiveText(name);
  return out;
}

}  // namespace
}  // namespace veltor::python

PYBIND11_MODULE(_native, module) {
  using namespace veltor::python;
  module.doc() = "The native part of the veltor package; use the veltor module instead.";
  static py::exception<DatabaseLoadError> databaseError(module, "DatabaseError");
  py::register_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const DatabaseLoadError&) {
      PyErr_SetString(databaseError.ptr(), "not a database, or a damaged one");
    }
  });

  py::class_<NativeDatabase>(module, "Database")
      .def_readonly("build_time", &NativeDatabase::buildTime)
      .def_readonly("signature_count", &NativeDatabase::signatureCount)
      .def_readonly("rule_count", &NativeDatabase::ruleCount)
      .def("scan", &ScanBytes)
      .def("begin", &BeginStream)
      .def("explain", &ExplainBytes)
      .def("walk_archive", &WalkArchive)
      .def("walk_archive_bytes", &WalkArchiveBytes)
      .def("parse_names", &ParseNames);
  py::class_<NativeStream>(module, "Stream")
      .def("feed", &NativeStream::Feed)
      .def("finish", &NativeStream::Finish)
      .def("close", &NativeStream::Close);
  module.def("load_image", &LoadImage);
  module.def("compile", &Compile);
  // The walk's limits with their defaults, from the one header that holds
  // them, so that the package's keyword arguments default to the same.
  const veltor::archive::ArchiveLimits limits;
  module.attr("ARCHIVES_SUPPORTED") = veltor::archive::ArchivesSupported();
  module.attr("MAX_ARCHIVE_DEPTH") = limits.maxDepth;
  module.attr("MAX_ARCHIVE_DEPTH_LIMIT") = veltor::archive::MaxArchiveDepthLimit;
  module.attr("MAX_UNPACKED") = limits.maxUnpacked;
  module.attr("MAX_MEMBERS") = limits.maxMembers;
  module.attr("MAX_RATIO") = limits.maxRatio;
  module.attr("SIGNATURE_NAMES_SUFFIX") = std::string(veltor::scanning::SignatureNamesSuffix);
  // Where the default database is looked for, in order: relative to this
  // module's folder (the build tree) or absolute (the installation).
  module.attr("DEFAULT_DATABASE_CANDIDATES") = py::make_tuple(VELTOR_BUILD_TREE_DATABASE, VELTOR_INSTALLED_DATABASE);
}
