#include "capture/opengate.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
// A waiter looks at its give-up flag this often: nobody notifies the gate of it.
constexpr std::chrono::milliseconds kGiveUpCheck{50};

std::mutex gateMutex;
std::condition_variable gateFree;
bool gateBusy = false;

std::mutex callsMutex;
std::condition_variable callsDone;
int callsRunning = 0;

// Whoever did not wait for the calls (a test, say): a call still blocked gets its time-out to end
// before the video library's own statics are torn down after this one.
struct WaitAtExit {
    ~WaitAtExit() { DetachedCalls::waitForAll(6000); }
} waitAtExit;
} // namespace

bool OpenGate::enter(const std::atomic<bool>& giveUp) {
    std::unique_lock<std::mutex> lock(gateMutex);
    while (gateBusy && !giveUp)
        gateFree.wait_for(lock, kGiveUpCheck);
    if (giveUp)
        return false;
    gateBusy = true;
    return true;
}

void OpenGate::leave() {
    {
        std::lock_guard<std::mutex> lock(gateMutex);
        gateBusy = false;
    }
    gateFree.notify_all();
}

void DetachedCalls::start(std::function<void()> call) {
    {
        std::lock_guard<std::mutex> lock(callsMutex);
        ++callsRunning;
    }
    std::thread([call = std::move(call)] {
        call();
        std::lock_guard<std::mutex> lock(callsMutex);
        if (--callsRunning == 0)
            callsDone.notify_all();
    }).detach();
}

bool DetachedCalls::waitForAll(int timeoutMs) {
    std::unique_lock<std::mutex> lock(callsMutex);
    return callsDone.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [] { return callsRunning == 0; });
}
