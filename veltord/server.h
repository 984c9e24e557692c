#pragma once
// veltord's networking (Boost.Asio): the listeners, one coroutine per
// connection speaking the clamd protocol (or HTTP, http_service.h), the
// signals, and reloads (on a signal, a command or a change of the database
// file). One thread runs the networking; the pool's workers scan.
#include <memory>

#include "veltord/scan_pool.h"
#include "veltord/service_options.h"

namespace veltor::service {

// Binds the listeners, then serves until SIGTERM, SIGINT or an allowed
// SHUTDOWN. `ready` is called once the listeners are bound (where a daemon
// detaches). Returns the exit status: 0, or 1 when a listener cannot be set
// up (logged).
int Serve(const ServiceOptions& options, std::shared_ptr<LoadedDatabase> database, void (*ready)());

}  // namespace veltor::service
