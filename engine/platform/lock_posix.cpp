// The process-state lock outside Windows: a statically initialised mutex,
// so that it exists before any constructor runs and needs no allocation.
#include <pthread.h>

#include "engine/platform/platform.h"

namespace veltor::platform {
namespace {

pthread_mutex_t processState = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

// A default mutex fails only on misuse (relocking, unlocking another
// thread's lock), which the callers' scoped use rules out.
void LockProcessState() noexcept { pthread_mutex_lock(&processState); }

void UnlockProcessState() noexcept { pthread_mutex_unlock(&processState); }

}  // namespace veltor::platform
