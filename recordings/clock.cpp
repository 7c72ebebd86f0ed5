#include "recordings/clock.h"

#include <mutex>

namespace {
std::mutex sourceMutex;
Clock::Source& source() {
    static Clock::Source s;
    return s;
}
} // namespace

QDateTime Clock::now() {
    std::lock_guard<std::mutex> lock(sourceMutex);
    return source() ? source()() : QDateTime::currentDateTime();
}

void Clock::setSource(Source s) {
    std::lock_guard<std::mutex> lock(sourceMutex);
    source() = std::move(s);
}
