// readConfigFile on arbitrary bytes: no crash, hang or runaway memory; no record past the
// caller's array or past the eighth camera is touched; at most one warning per damaged file;
// and whatever was read survives a save and a second read unchanged (else the next start
// would lose it).

#include <cstddef>
#include <cstdint>
#include <memory>

#include "capture/channelconfig.h"
#include "fuzzsupport.h"
#include "settings/configfile.h"

namespace {

constexpr int kFileCameras = 8; // the file never holds more
constexpr int kMaxArray = 10;

void fillSentinel(ChannelConfig& channel) {
    channel.cameraType = 77;
    channel.url = QStringLiteral("sentinel-url");
    channel.setLocation(QStringLiteral("sentinel-location"));
    channel.record = true;
    channel.recordOnStart = true;
    channel.recordStart = 4242;
    channel.recordStop = 4343;
}

bool isSentinel(ChannelConfig& channel) {
    return channel.cameraType == 77 && channel.url == QLatin1String("sentinel-url") &&
           channel.locationCopy() == QLatin1String("sentinel-location") && channel.record &&
           channel.recordOnStart && channel.recordStart == 4242 && channel.recordStop == 4343;
}

bool sameRecord(ChannelConfig& a, ChannelConfig& b) {
    return a.cameraType == b.cameraType && a.url == b.url && a.locationCopy() == b.locationCopy() &&
           a.record == b.record && a.recordOnStart == b.recordOnStart &&
           a.recordStart == b.recordStart && a.recordStop == b.recordStop;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QString inputPath = fuzzScratchPath(QStringLiteral("config.xml"));
    static const QString savedPath = fuzzScratchPath(QStringLiteral("saved-config.xml"));
    fuzzWriteFile(inputPath, data, size);

    // The caller's array is sized from the input, so that short arrays and arrays longer than
    // the file's eight cameras both get exercised. Exactly `count` records: ASan sees overruns.
    const int count = 1 + int(size % kMaxArray);
    const int inFile = qMin(count, kFileCameras);
    std::unique_ptr<ChannelConfig[]> channels(new ChannelConfig[count]);
    for (int i = 0; i < count; ++i)
        fillSentinel(channels[i]);

    FuzzMessages messages;
    fuzzCaptureMessages(&messages);
    readConfigFile(inputPath, channels.get(), count);
    FUZZ_CHECK(messages.warnings <= 1); // a damaged file is reported once
    FUZZ_CHECK(messages.debugs == 0);   // a regular readable file is never "Cannot read"
    for (int i = inFile; i < count; ++i)
        FUZZ_CHECK(isSentinel(channels[i]));

    // What was read is saved and read back the same.
    messages = FuzzMessages();
    FUZZ_CHECK(writeConfigFile(savedPath, channels.get(), count));
    std::unique_ptr<ChannelConfig[]> reread(new ChannelConfig[count]);
    readConfigFile(savedPath, reread.get(), count);
    fuzzCaptureMessages(nullptr);
    FUZZ_CHECK(messages.warnings == 0 && messages.debugs == 0);
    for (int i = 0; i < inFile; ++i)
        FUZZ_CHECK(sameRecord(channels[i], reread[i]));
    return 0;
}
