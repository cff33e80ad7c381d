// Waiting for work that runs on another thread and may raise boxes.
#pragma once

#include <chrono>
#include <future>
#include <thread>

// Cancels every visible dialog or message box of this process.
void DismissOwnBoxes();

// Waits for the work, answering any box it raises, so that a failed check
// never leaves a test waiting on a box nobody closes. Returns whether the
// work ended in time.
template <typename Future> bool FinishDismissingBoxes(Future &work, int timeoutMs = 60000)
{
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (work.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready)
            return true;
        DismissOwnBoxes();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}
