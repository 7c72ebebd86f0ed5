// camsim: a simulated IP camera serving an MJPEG stream over HTTP on 127.0.0.1, for the
// recorder's tests, benchmarks and demos. See `camsim --help`.

#include <cmath>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include "framesource.h"
#include "mjpegserver.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    // Only async-signal-safe work here; the event loop picks the byte up.
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

void installQuitOnSignals(QCoreApplication& app) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        std::perror("camsim: socketpair");
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &byte, 1);
        app.quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

const char* const description =
    R"(Simulated IP camera: serves a generated MJPEG stream on 127.0.0.1.

Endpoints (HTTP/1.0, one request per connection):
  GET /axis-cgi/mjpg/video.cgi[?anything]  multipart/x-mixed-replace MJPEG stream
  GET /snapshot.jpg                        the newest frame as one JPEG
  anything else                            404 (non-GET: 405)

On start it prints exactly one line to stdout, "camsim listening on 127.0.0.1:<port>",
then logs sparingly to stderr. SIGTERM or SIGINT ends it cleanly.

Every frame shows, in large seven-segment digits, its frame counter (top) and the wall-clock
time HH:mm:ss.zzz at which it was rendered (bottom). Across the full width of the vertical
middle runs a machine-readable copy of the counter: 24 cells of equal width, most significant
bit at the left. Each cell's upper part (42 %..52 % of the height) is white for 1, black for 0;
its lower part (52 %..58 %) is the complement, so a black or natural picture never reads as a
counter. It keeps clear of the top 10 % and bottom 15 %, survives scaling to any size and
JPEG. Layout: tools/camsim/framecodelayout.h; reader: tests/support/framecode.h.

The counter is the tick number since start (frame n is due n / fps s after start; a late
tick skips frames, visible as a gap), plus --counter-start; the band holds it modulo 2^24.
With --loop N it runs through N values (0..N-1 by default) and wraps, and the time shown is
when the frame was pre-rendered.

Faults (times in seconds, fractions allowed; each connection timed from its start):
  --drop-after S     close each connection S s after it began (new ones are served again)
  --drop-mid-frame   ...and cut it inside a JPEG part
  --stall-after S    after S s send nothing more, but keep the connection open
  --down-after S     S s after start close every connection and stop listening (connection
  --down-for D       refused) for D s, then listen again on the same port: a rebooting camera
  --refuse           close every connection at once without a response
  --hang-for S       accept every connection made in the first S s after start and never
                     answer it: a hung camera (later connections are served)
  --auth user:pass   require HTTP basic authentication (401 otherwise)
  --lossless         send lossless JPEGs (process 14), which FFmpeg decodes and libjpeg does not

Scene (live rendering only; the picture is then the still scene alone, without counter, time or
frame code, which change every frame as no real scene does):
  --noise A          fresh noise of up to A levels on every pixel of every frame
  --move-at S1,S2..  a dark box crosses the picture from left to right during second S of the
                     schedule ([S, S + 1) after start). Once it has left, stderr tells when it
                     was shown: "camsim: object pass at S s shown from <first> to <last> ms since
                     epoch", the wall-clock times its first and last frames were rendered.)";

struct Parsed {
    FrameSourceOptions frames;
    ServerOptions server;
};

bool readNumber(const QCommandLineParser& parser, const QString& name, double min, double max,
                double* out, QString* error) {
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const double v = parser.value(name).toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < min || v > max) {
        *error = QStringLiteral("--%1 must be a number from %2 to %3, not \"%4\"")
                     .arg(name)
                     .arg(min)
                     .arg(max)
                     .arg(parser.value(name));
        return false;
    }
    *out = v;
    return true;
}

bool readInteger(const QCommandLineParser& parser, const QString& name, int min, int max, int* out,
                 QString* error) {
    double v = *out;
    if (!readNumber(parser, name, min, max, &v, error))
        return false;
    if (v != std::floor(v)) {
        *error = QStringLiteral("--%1 must be a whole number").arg(name);
        return false;
    }
    *out = int(v);
    return true;
}

bool parseOptions(QCoreApplication& app, Parsed* parsed, QString* error) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    parser.addHelpOption();
    parser.addOptions({
        {"port", "TCP port on 127.0.0.1 (default 8080); 0 picks a free one.", "P"},
        {"width", "Frame width in pixels (default 1280).", "W"},
        {"height", "Frame height in pixels (default 720).", "H"},
        {"fps", "Frames per second, fractions allowed (default 25).", "F"},
        {"quality", "JPEG quality 1..100 (default 75).", "Q"},
        {"loop", "Pre-render N frames at start and serve them in a loop (cheap on CPU).", "N"},
        {"drop-after", "Close each connection S seconds after it began.", "S"},
        {"drop-mid-frame", "When dropping, cut the connection inside a JPEG part."},
        {"stall-after", "After S seconds keep each connection open but send nothing.", "S"},
        {"down-after", "S seconds after start stop listening and close all connections.", "S"},
        {"down-for", "How long the camera stays down (default 5).", "D"},
        {"refuse", "Close every connection at once without a response."},
        {"hang-for", "Accept connections of the first S seconds, never answer them.", "S"},
        {"auth", "Require HTTP basic authentication with these credentials.", "user:pass"},
        {"counter-start", "Counter of the first frame (default 0).", "N"},
        {"verbose", "Log every request and refused connection to stderr."},
        {"lossless", "Send lossless JPEGs, which FFmpeg decodes and libjpeg does not."},
        {"noise", "Fresh noise of up to A levels on every pixel of every frame.", "A"},
        {"move-at", "Seconds after start during which a box crosses the picture.", "S1,S2,..."},
    });
    parser.process(app); // exits on --help or unknown options

    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments()[0]);
        return false;
    }
    int port = 8080;
    int width = parsed->frames.size.width();
    int height = parsed->frames.size.height();
    // The frame code needs some pixels per cell; the upper bound keeps memory sane.
    if (!readInteger(parser, "port", 0, 65535, &port, error) ||
        !readInteger(parser, "width", 96, 7680, &width, error) ||
        !readInteger(parser, "height", 64, 4320, &height, error) ||
        !readNumber(parser, "fps", 0.1, 240, &parsed->frames.fps, error) ||
        !readInteger(parser, "quality", 1, 100, &parsed->frames.quality, error) ||
        !readInteger(parser, "loop", 1, 100000, &parsed->frames.loopFrames, error) ||
        !readNumber(parser, "drop-after", 0, 1e6, &parsed->server.dropAfterS, error) ||
        !readNumber(parser, "stall-after", 0, 1e6, &parsed->server.stallAfterS, error) ||
        !readNumber(parser, "down-after", 0, 1e6, &parsed->server.downAfterS, error) ||
        !readNumber(parser, "down-for", 0, 1e6, &parsed->server.downForS, error) ||
        !readNumber(parser, "hang-for", 0, 1e6, &parsed->server.hangForS, error) ||
        !readInteger(parser, "noise", 0, 100, &parsed->frames.noise, error))
        return false;
    if (parser.isSet("move-at")) {
        for (const QString& item : parser.value("move-at").split(QLatin1Char(','))) {
            bool ok = false;
            const double second = item.toDouble(&ok);
            if (!ok || !std::isfinite(second) || second < 0) {
                *error = QStringLiteral("--move-at takes seconds from 0 up, not \"%1\"").arg(item);
                return false;
            }
            parsed->frames.moveAt.append(second);
        }
    }
    if (parsed->frames.sceneOnly() && parsed->frames.loopFrames > 0) {
        *error = QStringLiteral("--noise and --move-at render live: not with --loop");
        return false;
    }
    double counterStart = 0;
    if (!readNumber(parser, "counter-start", 0, 1e15, &counterStart, error))
        return false;
    parsed->frames.counterStart = qint64(counterStart);
    parsed->server.port = quint16(port);
    parsed->frames.size = QSize(width, height);
    parsed->server.dropMidFrame = parser.isSet("drop-mid-frame");
    parsed->server.refuse = parser.isSet("refuse");
    parsed->server.verbose = parser.isSet("verbose");
    parsed->frames.lossless = parser.isSet("lossless");
    if (parser.isSet("auth")) {
        parsed->server.credentials = parser.value("auth").toUtf8();
        if (!parsed->server.credentials.contains(':')) {
            *error = QStringLiteral("--auth must be user:pass");
            return false;
        }
    }
    if (parsed->server.dropMidFrame && parsed->server.dropAfterS < 0) {
        *error = QStringLiteral("--drop-mid-frame needs --drop-after");
        return false;
    }
    if (parser.isSet("down-for") && parsed->server.downAfterS < 0) {
        *error = QStringLiteral("--down-for needs --down-after");
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("camsim"));

    Parsed parsed;
    QString error;
    if (!parseOptions(app, &parsed, &error)) {
        std::fprintf(stderr, "camsim: %s (see --help)\n", qPrintable(error));
        return 2;
    }
    installQuitOnSignals(app);

    FrameSource source(parsed.frames);
    MjpegServer server(parsed.server, &source);
    if (!source.start(&error)) {
        std::fprintf(stderr, "camsim: %s\n", qPrintable(error));
        return 1;
    }
    if (!server.listen(&error)) {
        std::fprintf(stderr, "camsim: cannot listen on 127.0.0.1:%u: %s\n",
                     unsigned(parsed.server.port), qPrintable(error));
        return 1;
    }
    std::printf("camsim listening on 127.0.0.1:%u\n", unsigned(server.port()));
    std::fflush(stdout);
    const int rc = app.exec();
    std::fprintf(stderr, "camsim: stopped\n");
    return rc;
}
