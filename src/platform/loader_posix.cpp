#include <pthread.h>

#include "platform/loader.h"

namespace kelvaro::platform {

// The C library drops the handlers when the image that registered them is unloaded.
void OnFork(void (*prepare)(), void (*parent)(), void (*child)()) { pthread_atfork(prepare, parent, child); }

}  // namespace kelvaro::platform
