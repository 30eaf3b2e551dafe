// Test hooks of the progress objects: the cancel poll (100 ms x 1000) and the destroy wait
// (10000 ms) shortened so that tests of the time-outs run in milliseconds.
#ifndef QUILLDEN_PROGRESS_PROGRESS_TESTING_H_
#define QUILLDEN_PROGRESS_PROGRESS_TESTING_H_

#include <cstdint>
#include <functional>

namespace quillden {

void SetProgressTimingForTesting(uint32_t cancel_poll_ms, uint32_t cancel_poll_rounds,
                                 uint32_t destroy_wait_ms);

// Every operation worker started from now on calls gate on its own thread before its body runs
// (null: no gate). Lets a test cancel an operation whose worker has not run yet.
void SetWorkerStartGateForTesting(std::function<void()> gate);

}  // namespace quillden

#endif  // QUILLDEN_PROGRESS_PROGRESS_TESTING_H_
