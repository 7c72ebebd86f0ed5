#pragma once

#include <cstddef>
#include <cstdint>

#include <QString>

// An invariant of the code under test: a failure is a finding, so it aborts with a message
// and libFuzzer saves the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            fuzzFail(#cond, __FILE__, __LINE__);                                                   \
    } while (false)

[[noreturn]] void fuzzFail(const char* what, const char* file, int line);

// Scratch folder for the whole run: in RAM (/dev/shm) where there is one, since every input
// goes through a real file.
QString fuzzScratchPath(const QString& name);

// Writes the input to `path`, replacing what was there.
void fuzzWriteFile(const QString& path, const uint8_t* data, size_t size);

// Counts Qt's messages instead of printing them: the readers log each damaged file, and
// printing that for every input would slow the run down to a crawl.
struct FuzzMessages {
    int warnings = 0;
    int debugs = 0;
    QString last;
};
void fuzzCaptureMessages(FuzzMessages* into); // nullptr stops counting
