// readSettingsFile on arbitrary bytes: no crash, hang or runaway memory; the free-space rule
// stays meaningful (the default, or a size of 0 or more); at most one warning per damaged
// file; and whatever was read survives a save and a second read unchanged.

#include <cstddef>
#include <cstdint>

#include "fuzzsupport.h"
#include "settings/settingsfile.h"

namespace {

constexpr qint64 kSentinelKeepFreeMiB = 777;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QString inputPath = fuzzScratchPath(QStringLiteral("settings.xml"));
    static const QString savedPath = fuzzScratchPath(QStringLiteral("saved-settings.xml"));
    fuzzWriteFile(inputPath, data, size);

    ProgramSettings settings;
    settings.dataDrive = QStringLiteral("sentinel-drive");
    settings.keepFreeMiB = kSentinelKeepFreeMiB;
    FuzzMessages messages;
    fuzzCaptureMessages(&messages);
    readSettingsFile(inputPath, &settings);
    FUZZ_CHECK(messages.warnings <= 1);
    FUZZ_CHECK(messages.debugs == 0);
    FUZZ_CHECK(settings.keepFreeMiB >= 0 || settings.keepFreeMiB == kKeepFreeDefault);

    messages = FuzzMessages();
    FUZZ_CHECK(writeSettingsFile(savedPath, settings));
    ProgramSettings reread;
    readSettingsFile(savedPath, &reread);
    fuzzCaptureMessages(nullptr);
    FUZZ_CHECK(messages.warnings == 0 && messages.debugs == 0);
    FUZZ_CHECK(reread.dataDrive == settings.dataDrive);
    FUZZ_CHECK(reread.keepFreeMiB == settings.keepFreeMiB);
    return 0;
}
