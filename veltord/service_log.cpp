#include "veltord/service_log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "scanning/scan_text.h"

namespace veltor::service {
namespace {

std::atomic<LogFormat> Format{LogFormat::Text};
std::mutex Writing;

std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[40];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  char tail[8];
  std::snprintf(tail, sizeof tail, ".%03dZ", static_cast<int>(millis));
  return std::string(text, length) + tail;
}

}  // namespace

void SetLogFormat(LogFormat format) { Format = format; }

void Log(std::string_view event, std::initializer_list<std::pair<std::string_view, std::string_view>> fields) {
  std::string line;
  if (Format == LogFormat::Json) {
    line.append("{\"time\":\"").append(Timestamp()).append("\",\"event\":").append(scanning::JsonString(event));
    for (const auto& [key, value] : fields) {
      line.append(1, ',').append(scanning::JsonString(key)).append(1, ':').append(scanning::JsonString(value));
    }
    line.append("}\n");
  } else {
    line.append(Timestamp()).append(" veltord: ").append(event);
    for (const auto& [key, value] : fields) {
      const std::string shown = scanning::DisplayText(value);
      const bool quote = shown.empty() || shown.find(' ') != std::string::npos;
      line.append(1, ' ').append(key).append(1, '=');
      if (quote) line.append(1, '"');
      line.append(shown);
      if (quote) line.append(1, '"');
    }
    line.append(1, '\n');
  }
  std::lock_guard lock(Writing);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace veltor::service
