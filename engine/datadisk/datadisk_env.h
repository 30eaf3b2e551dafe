// The file system the data disc code reads its sources through. Env::Default() unless a test put a
// fault-injecting Env in its place.
#ifndef QUILLDEN_DATADISK_DATADISK_ENV_H_
#define QUILLDEN_DATADISK_DATADISK_ENV_H_

#include "platform/env.h"

namespace quillden {

quenvar::platform::Env* DatadiskEnv();

// Replaces the Env for every disc (null restores the default). Tests only; not while a worker runs.
void SetDatadiskEnvForTesting(quenvar::platform::Env* env);

}  // namespace quillden

#endif  // QUILLDEN_DATADISK_DATADISK_ENV_H_
