#pragma once
// veltord's log: one line per event on standard error, as text or JSON,
// whole lines from any thread.
#include <initializer_list>
#include <string_view>
#include <utility>

#include "veltord/service_options.h"

namespace veltor::service {

void SetLogFormat(LogFormat format);

// One line: "veltord: EVENT key=value ..." or {"event":EVENT,"key":"value",...}.
// Values are shown safely (control bytes escaped).
void Log(std::string_view event, std::initializer_list<std::pair<std::string_view, std::string_view>> fields);

}  // namespace veltor::service
