// What recording costs. Capture of a moving 1920 × 1080 (and 3840 × 2160)
// display of an X server of our own, in CPU time read from /proc: this
// process (without the thread that moves the content) and what the X server
// spends beyond moving the content alone. And the per-frame path from a
// frame's arrival on the video queue to its datagram handed to the socket.
// On both roads also from a complete frame's arrival in this process (the
// frame's arrival attachment; on the X11 road, which has none, its time stamp,
// taken when the frame is fetched) to its datagram sent to a receiver on
// loopback, as the 50th and 99th percentiles.
//
// The Wayland road too, when the headless desktop of scripts/wayland-test-services
// runs (its CORVEX_WAYLAND_* settings in the environment): the studio's CPU per
// delivered frame as a multiple of one memcpy of that frame measured in the same
// run (and the reduction alone, 1920 × 1080 to 100 pixels wide, the same way),
// beside what the compositor, the portal and PipeWire spend. CPU times come
// from the nanosecond CPU clocks of the process and of the measuring thread.
//
// The X11 road also side by side with peers that grab the same X server and
// reduce each frame to 5 × 5 (GStreamer's and FFmpeg's, run as programs):
// total CPU per frame; and how far each peer's means are from the exact ones.
//
// CORVEX_BENCH_SECONDS sets each measuring phase's length (default 20).

#include "analysis/analysis_recorder.h"
#include "capture/capture_engine_stream_output.h"
#include "platform/media/image_scaler.h"
#include "platform/screencapture/capture_backend.h"
#include "platform/screencapture/host_clock.h"
#include "platform/screencapture/portal/portal_backend.h"
#include "platform/screencapture/serial_queue.h"
#include "platform/screencapture/stream.h"
#include "platform/screencapture/x11/x11_backend.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <xcb/xcb.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numeric>
#include <optional>
#include <sstream>
#include <thread>
#include <variant>

using namespace corvex;
using namespace corvex::screencapture;

extern char** environ;

namespace {

// Joins its arguments as text (GCC 12 warns wrongly about `"a" + std::to_string(n)` at -O3).
template <typename... Parts> std::string text(const Parts&... parts)
{
    std::ostringstream stream;
    (stream << ... << parts);
    return stream.str();
}

double benchSeconds()
{
    const char* text = std::getenv("CORVEX_BENCH_SECONDS");
    const double seconds = text ? std::atof(text) : 20.0;
    return seconds > 0 ? seconds : 20.0;
}

// User plus system CPU seconds of a process or of one of our threads.
double cpuSeconds(const std::string& statPath)
{
    std::ifstream file(statPath);
    const std::string contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t close = contents.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(contents.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) // utime, stime
            ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// An X server of our own, of the given size, on a free display number.
class OwnXServer {
public:
    OwnXServer(int width, int height)
    {
        for (int n = 150; n < 200 && m_pid <= 0; ++n) {
            if (access(text("/tmp/.X", n, "-lock").c_str(), F_OK) == 0)
                continue;
            m_display = text(":", n);
            const std::string screen = text(width, "x", height, "x24");
            const char* argv[] = { "Xvfb", m_display.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
                "-noreset", nullptr };
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
            if (posix_spawnp(&m_pid, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
                m_pid = -1;
            posix_spawn_file_actions_destroy(&actions);
        }
        for (int i = 0; i < 100 && m_pid > 0; ++i) {
            xcb_connection_t* c = xcb_connect(m_display.c_str(), nullptr);
            const bool up = xcb_connection_has_error(c) == 0;
            xcb_disconnect(c);
            if (up) {
                m_up = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ~OwnXServer()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    bool isUp() const { return m_up; }
    const std::string& display() const { return m_display; }
    double cpu() const { return cpuSeconds(text("/proc/", m_pid, "/stat")); }

private:
    pid_t m_pid = -1;
    std::string m_display;
    bool m_up = false;
};

// Moves a bright box across a full-screen window, 30 times a second, on a
// thread of its own: either the whole screen is drawn anew each time (as
// full-screen video is) or only the box moves over a still background (as
// video in a window on a quiet desktop).
class Mover {
public:
    Mover(const std::string& display, int width, int height, bool wholeScreen)
        : m_wholeScreen(wholeScreen)
    {
        m_thread = std::thread([this, display, width, height] { run(display, width, height); });
        while (m_tid.load() == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~Mover()
    {
        m_stop = true;
        m_thread.join();
    }
    double cpu() const { return cpuSeconds(text("/proc/self/task/", m_tid.load(), "/stat")); }

private:
    void run(const std::string& display, int width, int height)
    {
        m_tid = static_cast<pid_t>(syscall(SYS_gettid));
        xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const xcb_window_t window = xcb_generate_id(c);
        const std::uint32_t values[] = { 0x202020, 1 };
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, std::uint16_t(width),
            std::uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
            XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c, window);
        const xcb_gcontext_t gc = xcb_generate_id(c);
        xcb_create_gc(c, gc, window, 0, nullptr);
        const int boxWidth = width / 4, boxHeight = height / 4;
        auto next = std::chrono::steady_clock::now();
        int lastX = 0, lastY = 0;
        for (std::uint32_t frame = 0; !m_stop; ++frame) {
            const int x = static_cast<int>((frame * 16) % std::uint32_t(width - boxWidth));
            const int y = static_cast<int>((frame * 9) % std::uint32_t(height - boxHeight));
            if (m_wholeScreen)
                xcb_clear_area(c, 0, window, 0, 0, 0, 0);
            else
                xcb_clear_area(c, 0, window, std::int16_t(lastX), std::int16_t(lastY), std::uint16_t(boxWidth),
                    std::uint16_t(boxHeight));
            lastX = x;
            lastY = y;
            const std::uint32_t colour = 0x400000 + (frame * 0x010203u & 0xffffff);
            xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
            const xcb_rectangle_t box { std::int16_t(x), std::int16_t(y), std::uint16_t(boxWidth),
                std::uint16_t(boxHeight) };
            xcb_poly_fill_rectangle(c, window, gc, 1, &box);
            free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); // wait until drawn
            next += std::chrono::microseconds(33333);
            std::this_thread::sleep_until(next);
        }
        xcb_disconnect(c);
    }

    const bool m_wholeScreen;
    std::thread m_thread;
    std::atomic<pid_t> m_tid { 0 };
    std::atomic<bool> m_stop { false };
};

// Hands every frame to the capture engine's own stream output, and counts them.
class CountingOutput final : public StreamOutput, public StreamDelegate {
public:
    explicit CountingOutput(analysis::AnalysisRecorder& recorder)
        : m_output(recorder, nullptr)
    {
    }
    void didOutputSampleBuffer(const SampleBuffer& sampleBuffer, StreamOutputType type) override
    {
        const std::int64_t arrival = hostTimeNanoseconds();
        m_output.didOutputSampleBuffer(sampleBuffer, type);
        const std::int64_t done = hostTimeNanoseconds();
        ++frames;
        const double stamp = sampleBuffer.outputPresentationTimeStamp.seconds() * 1e3;
        std::lock_guard lock(mutex);
        // Milliseconds from the picture's time stamp (the compositor's, on the
        // portal road), from its arrival in this process, and from its arrival on
        // the video queue, to its datagram sent. Only complete frames become
        // datagrams; a frame without an arrival was stamped when it was fetched.
        fromStamp.push_back(double(done) / 1e6 - stamp);
        if (const std::optional<std::int64_t> reached = arrivalOf(sampleBuffer))
            fromProcessArrival.push_back(double(done - *reached) / 1e6);
        else if (isComplete(sampleBuffer))
            fromProcessArrival.push_back(double(done) / 1e6 - stamp);
        fromArrival.push_back(double(done - arrival) / 1e6);
    }
    static std::optional<std::int64_t> arrivalOf(const SampleBuffer& frame)
    {
        return frame.frameInfo ? frame.frameInfo->arrivalTime : std::nullopt;
    }
    static bool isComplete(const SampleBuffer& frame)
    {
        return frame.frameInfo && frame.frameInfo->status == FrameStatus::Complete;
    }
    static double percentile(std::vector<double> values, double p)
    {
        if (values.empty())
            return 0;
        std::sort(values.begin(), values.end());
        return values[std::min(values.size() - 1, std::size_t(double(values.size()) * p))];
    }
    void setCrop(const std::optional<media::Rect>& crop) { m_output.setCrop(crop); }
    void didStopWithError(const CaptureError& error) override
    {
        std::lock_guard lock(mutex);
        failure = error.localizedDescription;
    }

    std::atomic<int> frames { 0 };
    std::mutex mutex;
    std::string failure;
    std::vector<double> fromStamp;
    std::vector<double> fromProcessArrival;
    std::vector<double> fromArrival;

private:
    capture::CaptureEngineStreamOutput m_output;
};

// Each frame's colours go out as a datagram to a receiver on loopback: a
// socket of our own that is never read, so that sending costs what it costs
// with a receiver there (a port with no one on it would answer every datagram
// with an ICMP error, which a real receiver never causes).
class LoopbackReceiver {
public:
    LoopbackReceiver()
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(m_receiver, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(m_receiver, reinterpret_cast<sockaddr*>(&address), &length);
        connect(m_sender, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~LoopbackReceiver()
    {
        close(m_sender);
        close(m_receiver);
    }
    LoopbackReceiver(const LoopbackReceiver&) = delete;
    LoopbackReceiver& operator=(const LoopbackReceiver&) = delete;
    /// Sends each live message of `recorder` to the receiver.
    void attach(analysis::AnalysisRecorder& recorder)
    {
        recorder.setLiveMessageObserver([this](const QByteArray& message) {
            send(m_sender, message.constData(), std::size_t(message.size()), MSG_DONTWAIT);
        });
    }

private:
    const int m_receiver = socket(AF_INET, SOCK_DGRAM, 0);
    const int m_sender = socket(AF_INET, SOCK_DGRAM, 0);
};

// The X11 backend on the bench's own X server; null, with the benchmark
// marked as skipped and why, when either cannot be had.
std::shared_ptr<CaptureBackend> x11BackendOn(const OwnXServer& server, benchmark::State& state)
{
    if (!server.isUp()) {
        state.SkipWithError("Xvfb could not be started");
        return nullptr;
    }
    setenv("DISPLAY", server.display().c_str(), 1);
    auto created = X11Backend::create();
    if (!created) {
        state.SkipWithError(created.error.localizedDescription.c_str());
        return nullptr;
    }
    return std::move(*created.value);
}

// What one phase of recording as the studio records (a 100-pixel-wide frame,
// 30 a second, the crop applied to every frame) costs: this process's CPU
// (without the mover's thread) and the X server's, in seconds, and the frames.
struct StudioPhase {
    double process = 0;
    double server = 0;
    int frames = 0;
    std::string failure;
    std::vector<double> arrivalToDatagram; // milliseconds, each complete frame
};
StudioPhase recordAsTheStudio(const OwnXServer& server, const Mover& mover,
    const std::shared_ptr<CaptureBackend>& backend, analysis::AnalysisRecorder& recorder, int width, int height,
    const std::optional<media::Rect>& crop, double seconds)
{
    recorder.start();
    SerialQueue video("bench.video");
    auto output = std::make_shared<CountingOutput>(recorder);
    output->setCrop(crop);
    StreamConfiguration configuration;
    configuration.width = 100;
    configuration.height = 100 * height / width;
    configuration.minimumFrameInterval = media::MediaTime::make(1, 30);
    configuration.queueDepth = 5;
    configuration.showsCursor = false;
    const Display screenDisplay { 1, width, height, { 0, 0, double(width), double(height) }, "screen" };
    RunningApplication self; // left out, as the studio leaves itself out
    self.processID = getpid();
    auto stream = std::make_unique<Stream>(
        backend, ContentFilter::forDisplay(screenDisplay, { self }, {}), configuration, output);
    static_cast<void>(stream->addStreamOutput(output, StreamOutputType::Screen, video));
    stream->startCapture();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double processBefore = cpuSeconds("/proc/self/stat") - mover.cpu();
    const double serverBefore = server.cpu();
    const int framesBefore = output->frames;
    {
        std::lock_guard lock(output->mutex);
        output->fromProcessArrival.clear();
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    StudioPhase phase;
    phase.process = cpuSeconds("/proc/self/stat") - mover.cpu() - processBefore;
    phase.server = server.cpu() - serverBefore;
    phase.frames = output->frames - framesBefore;
    stream.reset();
    recorder.stop();
    std::lock_guard lock(output->mutex);
    phase.failure = !output->failure.empty() ? output->failure : phase.frames == 0 ? "no frames arrived" : "";
    phase.arrivalToDatagram = output->fromProcessArrival;
    return phase;
}

void BM_RecordMovingDisplay(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const double seconds = benchSeconds();
    OwnXServer server(width, height);
    const std::shared_ptr<CaptureBackend> backend = x11BackendOn(server, state);
    if (!backend)
        return;
    LoopbackReceiver receiver;
    analysis::AnalysisRecorder recorder(nullptr);
    receiver.attach(recorder);
    for (auto _ : state) {
        Mover mover(server.display(), width, height, state.range(2) == 0);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        // The content moving, nothing captured.
        const double serverBefore = server.cpu();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double serverAlone = server.cpu() - serverBefore;

        // The same, recorded as the studio records.
        const StudioPhase studio
            = recordAsTheStudio(server, mover, backend, recorder, width, height, std::nullopt, seconds);
        if (!studio.failure.empty()) {
            state.SkipWithError(studio.failure.c_str());
            return;
        }
        state.SetIterationTime(seconds);
        state.counters["process_cpu_pct"] = 100.0 * studio.process / seconds;
        state.counters["xserver_added_cpu_pct"] = 100.0 * (studio.server - serverAlone) / seconds;
        state.counters["xserver_content_cpu_pct"] = 100.0 * serverAlone / seconds;
        state.counters["frames_per_s"] = studio.frames / seconds;
        state.counters["arrival_to_datagram_p50_ms"] = CountingOutput::percentile(studio.arrivalToDatagram, 0.5);
        state.counters["arrival_to_datagram_p99_ms"] = CountingOutput::percentile(studio.arrivalToDatagram, 0.99);
    }
}
// Arguments: width, height, and what moves (0 the whole screen, 1 a box over a still background).
BENCHMARK(BM_RecordMovingDisplay)
    ->Args({ 1920, 1080, 0 })
    ->Args({ 1920, 1080, 1 })
    ->Args({ 3840, 2160, 0 })
    ->Args({ 3840, 2160, 1 })
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// The load of the machine (the one-minute average), which other work on it adds to every figure.
double loadAverage()
{
    std::ifstream file("/proc/loadavg");
    double load = 0;
    file >> load;
    return load;
}

// The steps of an exact 5 × 5 area mean along a picture's height out of stock
// GStreamer elements, appended to a gst-launch pipeline. videoscale's 2-tap
// bilinear at exactly 2:1 in height is an exact two-row mean (across the width
// it is not: it keeps every other column, hence the transpose in
// exactAreaMeanPipeline). A block's rows are halved while their count is even
// (at most `halvingsFirst` times), the first `eightBitSteps` halvings in 8 bits
// (each rounds halves up, a quarter of a level on average), the rest in 16
// bits; the rows left are then stretched linearly to the next 5 × a power of
// two (at most a third longer, so that little of a row spills into the
// neighbouring block) and halved down to 5. Needs a height that 5 divides.
void appendBlockMeanDownward(
    std::vector<std::string>& pipeline, int width, int height, int halvingsFirst, int eightBitSteps)
{
    auto scale = [&](int h) {
        height = h;
        for (std::string step : { std::string("videoscale"), std::string("method=bilinear"), std::string("!"),
                 text("video/x-raw,width=", width, ",height=", height), std::string("!") })
            pipeline.push_back(std::move(step));
    };
    auto toSixteenBits = [&] {
        for (const char* step : { "videoconvert", "dither=none", "!", "video/x-raw,format=ARGB64", "!" })
            pipeline.emplace_back(step);
    };
    int rowsPerBlock = height / 5;
    bool sixteenBits = false;
    for (int step = 0; step < halvingsFirst && rowsPerBlock % 2 == 0; ++step) {
        if (step == eightBitSteps) {
            toSixteenBits();
            sixteenBits = true;
        }
        rowsPerBlock /= 2;
        scale(height / 2);
    }
    if (!sixteenBits)
        toSixteenBits();
    int power = 5;
    while (power < height)
        power *= 2;
    if (power != height)
        scale(power);
    while (height > 5)
        scale(height / 2);
}

// A gst-launch pipeline, from the X image source to the file, that writes each
// frame's exact 5 × 5 area means, transposed (a row of the file is a column of
// blocks), in 16 bits (ARGB64, the mean × 257). Its height pass halves the whole
// picture once in 8 bits (the cheapest that stays well within a level), then in
// 16; the width pass, transposed, works on 5 rows only.
std::vector<std::string> exactAreaMeanPipeline(int width, int height, const std::string& sink)
{
    std::vector<std::string> pipeline { "gst-launch-1.0", "-q", "ximagesrc", "use-damage=false", "show-pointer=false",
        "!", "video/x-raw,framerate=30/1", "!" };
    appendBlockMeanDownward(pipeline, width, height, 64, 1);
    for (const char* step : { "videoconvert", "dither=none", "!", "video/x-raw,format=BGRx", "!", "videoflip",
             "video-direction=ul-lr", "!" })
        pipeline.emplace_back(step);
    appendBlockMeanDownward(pipeline, 5, width, 0, 0);
    pipeline.insert(pipeline.end(), { "filesink", sink, "buffer-mode=unbuffered" });
    return pipeline;
}

// A peer that grabs the same display as the studio does, every frame, 30 a
// second, and reduces it to the 5 × 5 means the record takes, as a process of
// its own writing the means to a file, so that its frames are counted by the
// file's size while it runs. Levels off the exact block means, the largest of
// 75, on a test picture of noise over gradients (BM_PeerAccuracy), 1080p / 4K:
// - GStreamer ("gst"): X image source, then exactAreaMeanPipeline: 0.68 / 0.68.
//   All in 16 bits from the start it is 0.43 / 0.44 for about twice the CPU at
//   1080p; with two halvings in 8 bits 0.94 / 0.92, too near a level for a
//   saving within the machine's noise (4K: 10.7-11.6 ms a frame against
//   10.8-14.1); three, 1.16, or all in 8 bits, 1.19 / 1.43, are off by more.
// - GStreamer lean ("gst_lean"), NOT the same answer: X image source straight to
//   5 × 5 with the multi-tap bilinear, whose filter is cut to 128 taps: a
//   triangle 128 rows and columns wide about each block's centre, of the
//   block's 216 × 384 (4K: 432 × 768): 23.7 / 24.6.
// - FFmpeg: X11 grab, area scale to 5 × 5: 0.76 / 0.76.
class PeerGrabber {
public:
    enum class Kind { GStreamer, GStreamerLean, FFmpeg };

    PeerGrabber(Kind kind, const std::string& display, int width, int height, const std::string& output)
    {
        const std::string sink = text("location=", output);
        std::vector<std::string> arguments;
        if (kind == Kind::GStreamer)
            arguments = exactAreaMeanPipeline(width, height, sink);
        else if (kind == Kind::GStreamerLean)
            arguments = { "gst-launch-1.0", "-q", "ximagesrc", "use-damage=false", "show-pointer=false", "!",
                "video/x-raw,framerate=30/1", "!", "videoscale", "method=bilinear2", "!",
                "video/x-raw,width=5,height=5", "!", "filesink", sink, "buffer-mode=unbuffered" };
        else
            arguments = { "ffmpeg", "-nostdin", "-v", "error", "-f", "x11grab", "-framerate", "30", "-draw_mouse", "0",
                "-i", display, "-vf", "scale=5:5:flags=area", "-f", "rawvideo", "-pix_fmt", "bgr0", "-flush_packets",
                "1", "-y", output };
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const std::string displaySetting = text("DISPLAY=", display);
        std::vector<char*> environment;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "DISPLAY=", 8) != 0)
                environment.push_back(*e);
        environment.push_back(const_cast<char*>(displaySetting.c_str()));
        environment.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environment.data()) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~PeerGrabber()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    PeerGrabber(const PeerGrabber&) = delete;
    PeerGrabber& operator=(const PeerGrabber&) = delete;
    bool isRunning() const { return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0; }
    double cpu() const { return cpuSeconds(text("/proc/", m_pid, "/stat")); }
    // Bytes of one frame's means in the output: 5 × 5 pixels of 8 bytes (ARGB64) or 4 (BGRx).
    static int bytesPerFrame(Kind kind) { return kind == Kind::GStreamer ? 5 * 5 * 8 : 5 * 5 * 4; }
    // Block (column, row)'s blue, green and red as levels, from a frame of the output.
    static std::array<double, 3> blockOf(Kind kind, const std::string& frame, int column, int row)
    {
        const auto* bytes = reinterpret_cast<const unsigned char*>(frame.data());
        if (kind != Kind::GStreamer) {
            const unsigned char* pixel = bytes + 4 * (5 * row + column);
            return { double(pixel[0]), double(pixel[1]), double(pixel[2]) };
        }
        std::uint16_t pixel[4]; // A, R, G, B, native order
        std::memcpy(pixel, bytes + 8 * (5 * column + row), sizeof pixel);
        return { pixel[3] / 257.0, pixel[2] / 257.0, pixel[1] / 257.0 };
    }

private:
    pid_t m_pid = -1;
};

const std::vector<std::pair<PeerGrabber::Kind, std::string>>& peerKinds()
{
    static const std::vector<std::pair<PeerGrabber::Kind, std::string>> kinds {
        { PeerGrabber::Kind::GStreamer, "gst" },
        { PeerGrabber::Kind::GStreamerLean, "gst_lean" },
        { PeerGrabber::Kind::FFmpeg, "ffmpeg" },
    };
    return kinds;
}

// The frames a peer wrote so far.
int peerFrames(PeerGrabber::Kind kind, const std::string& output)
{
    struct stat status { };
    return ::stat(output.c_str(), &status) == 0 ? static_cast<int>(status.st_size / PeerGrabber::bytesPerFrame(kind))
                                                : 0;
}

// Puts a test picture on the root window of `display` as its background, that
// stays there (the bench's X server never resets): noise of ±48 levels over a
// gradient in each colour, blue left to right, green top to bottom, red a
// sine wave of 1.7 periods across and 0.9 down, so that a block's mean is
// neither its centre nor the mean of any few of its rows and columns. Returns
// the exact 5 × 5 block means (blue, green, red), row after row.
std::vector<std::array<double, 3>> showTestPicture(const std::string& display, int width, int height)
{
    std::vector<std::array<double, 3>> sums(25, { 0, 0, 0 });
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return {};
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    std::vector<std::uint8_t> picture(std::size_t(width) * std::size_t(height) * 4);
    std::uint32_t seed = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double across = double(x) / width, down = double(y) / height;
            const double base[3] = { 255 * across, 255 * down,
                127.5 + 127.5 * std::sin(2 * 3.14159265358979 * (across * 1.7 + down * 0.9)) };
            std::uint8_t* pixel = picture.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 4;
            for (int k = 0; k < 3; ++k) {
                seed = seed * 1664525u + 1013904223u;
                const int level = std::clamp(int(base[k]) + int((seed >> 24) % 97) - 48, 0, 255);
                pixel[k] = std::uint8_t(level);
                sums[std::size_t((y * 5 / height) * 5 + x * 5 / width)][std::size_t(k)] += level;
            }
            pixel[3] = 0;
        }
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, screen->root_depth, pixmap, screen->root, std::uint16_t(width), std::uint16_t(height));
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pixmap, 0, nullptr);
    const int rows = std::max(1, 60000 / width); // within the core protocol's request size
    for (int y = 0; y < height; y += rows) {
        const int n = std::min(rows, height - y);
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, std::uint16_t(width), std::uint16_t(n), 0,
            std::int16_t(y), 0, screen->root_depth, std::uint32_t(width * n * 4),
            picture.data() + std::size_t(y) * std::size_t(width) * 4);
    }
    xcb_change_window_attributes(c, screen->root, XCB_CW_BACK_PIXMAP, &pixmap);
    xcb_clear_area(c, 0, screen->root, 0, 0, 0, 0);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); // wait until drawn
    xcb_disconnect(c);
    const double pixels = double(width / 5) * double(height / 5);
    for (auto& block : sums)
        for (double& sum : block)
            sum /= pixels;
    return sums;
}

// How far each peer's 5 × 5 is from the exact block means of a still test
// picture (showTestPicture): the largest and the mean difference, in levels,
// over the 25 blocks' three colours, from the last frame each wrote.
void BM_PeerAccuracy(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    OwnXServer server(width, height);
    if (!server.isUp()) {
        state.SkipWithError("Xvfb could not be started");
        return;
    }
    QTemporaryDir folder;
    for (auto _ : state) {
        const std::vector<std::array<double, 3>> exact = showTestPicture(server.display(), width, height);
        if (exact.empty()) {
            state.SkipWithError("the test picture could not be shown");
            return;
        }
        for (const auto& [kind, name] : peerKinds()) {
            const std::string output = folder.filePath(QString::fromStdString(name + ".raw")).toStdString();
            {
                PeerGrabber peer(kind, server.display(), width, height, output);
                for (int i = 0; i < 200 && peer.isRunning() && peerFrames(kind, output) < 3; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            const int frames = peerFrames(kind, output);
            if (frames == 0) {
                state.SkipWithError(("the " + name + " peer delivered no frames").c_str());
                return;
            }
            std::ifstream file(output, std::ios::binary);
            const int size = PeerGrabber::bytesPerFrame(kind);
            file.seekg(std::streamoff(frames - 1) * size);
            std::string frame(std::size_t(size), '\0');
            file.read(frame.data(), size);
            double largest = 0, total = 0;
            for (int row = 0; row < 5; ++row)
                for (int column = 0; column < 5; ++column) {
                    const std::array<double, 3> block = PeerGrabber::blockOf(kind, frame, column, row);
                    for (std::size_t k = 0; k < 3; ++k) {
                        const double off = std::abs(block[k] - exact[std::size_t(row * 5 + column)][k]);
                        largest = std::max(largest, off);
                        total += off;
                    }
                }
            state.counters[name + "_levels_off_max"] = largest;
            state.counters[name + "_levels_off_mean"] = total / 75;
        }
    }
}
BENCHMARK(BM_PeerAccuracy)->Args({ 1920, 1080 })->Args({ 3840, 2160 })->Iterations(1)->Unit(benchmark::kSecond);

// The X11 road against its peers, side by side on one X server of our own
// with the content moving: the whole screen redrawn every frame, or a box over
// a still background. Each one's total CPU per frame: its process, plus what it
// adds to the X server beyond moving the content alone, which is measured
// between the phases (alone, studio, alone, GStreamer, alone, GStreamer lean,
// alone, FFmpeg, alone).
// Reported as the studio's total per frame over each peer's (below 1: the studio costs less).
void BM_X11AgainstPeer(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const double seconds = benchSeconds();
    OwnXServer server(width, height);
    const std::shared_ptr<CaptureBackend> backend = x11BackendOn(server, state);
    if (!backend)
        return;
    QTemporaryDir folder;
    analysis::AnalysisRecorder recorder(nullptr);
    for (auto _ : state) {
        const double loadBefore = loadAverage();
        Mover mover(server.display(), width, height, state.range(2) == 0);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        auto serverAlone = [&] {
            const double before = server.cpu();
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            return server.cpu() - before;
        };
        std::vector<double> alone { serverAlone() };

        const StudioPhase studio = recordAsTheStudio(server, mover, backend, recorder, width, height, {}, seconds);
        if (!studio.failure.empty()) {
            state.SkipWithError(studio.failure.c_str());
            return;
        }
        alone.push_back(serverAlone());
        const double studioAdded = studio.server - (alone[0] + alone[1]) / 2;
        const double studioPerFrame = (studio.process + studioAdded) / studio.frames;
        state.counters["studio_total_ms_per_frame"] = 1e3 * studioPerFrame;
        state.counters["studio_process_ms_per_frame"] = 1e3 * studio.process / studio.frames;
        state.counters["studio_xserver_ms_per_frame"] = 1e3 * studioAdded / studio.frames;
        state.counters["studio_frames_per_s"] = studio.frames / seconds;

        for (const auto& [kind, name] : peerKinds()) {
            const std::string output = folder.filePath(QString::fromStdString(name + ".raw")).toStdString();
            double process = 0, serverSpent = 0;
            int frames = 0;
            {
                PeerGrabber peer(kind, server.display(), width, height, output);
                std::this_thread::sleep_for(std::chrono::seconds(2));
                if (!peer.isRunning()) {
                    state.SkipWithError("a peer did not run (install gstreamer1.0-tools, gstreamer1.0-plugins-base, "
                                        "gstreamer1.0-plugins-good and ffmpeg)");
                    return;
                }
                const double processBefore = peer.cpu();
                const double serverBefore = server.cpu();
                const int framesBefore = peerFrames(kind, output);
                std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
                process = peer.cpu() - processBefore;
                serverSpent = server.cpu() - serverBefore;
                frames = peerFrames(kind, output) - framesBefore;
            }
            alone.push_back(serverAlone());
            if (frames <= 0) {
                state.SkipWithError(("the " + name + " peer delivered no frames").c_str());
                return;
            }
            const double added = serverSpent - (alone[alone.size() - 2] + alone.back()) / 2;
            const double perFrame = (process + added) / frames;
            state.counters[name + "_total_ms_per_frame"] = 1e3 * perFrame;
            state.counters[name + "_process_ms_per_frame"] = 1e3 * process / frames;
            state.counters[name + "_xserver_ms_per_frame"] = 1e3 * added / frames;
            state.counters[name + "_frames_per_s"] = frames / seconds;
            state.counters["studio_over_" + name] = studioPerFrame / perFrame;
        }
        state.SetIterationTime(seconds);
        state.counters["driver_alone_spread"] = (*std::max_element(alone.begin(), alone.end())
                                                    - *std::min_element(alone.begin(), alone.end()))
            / std::max(1e-9, std::accumulate(alone.begin(), alone.end(), 0.0) / double(alone.size()));
        state.counters["load"] = (loadBefore + loadAverage()) / 2;
    }
}
// Arguments: width, height, and what moves (0 the whole screen, 1 a box over a still background).
BENCHMARK(BM_X11AgainstPeer)
    ->Args({ 1920, 1080, 0 })
    ->Args({ 3840, 2160, 0 })
    ->Args({ 1920, 1080, 1 })
    ->Args({ 3840, 2160, 1 })
    ->Iterations(1)
    ->UseManualTime()
    ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
    ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); })
    ->Unit(benchmark::kSecond);

// The X11 road with the author's crop (a centred 80 % of the picture) against
// the same road with none, in one run on one X server with the whole screen
// redrawn every frame: total CPU per frame of each (its process plus what it
// adds to the X server beyond moving the content alone), in the order whole,
// crop, crop, whole so that a drift of the machine's load weighs on both alike.
void BM_X11CropAgainstWhole(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const double seconds = benchSeconds();
    OwnXServer server(width, height);
    const std::shared_ptr<CaptureBackend> backend = x11BackendOn(server, state);
    if (!backend)
        return;
    analysis::AnalysisRecorder recorder(nullptr);
    const media::Rect crop { 0.1, 0.1, 0.8, 0.8 };
    for (auto _ : state) {
        Mover mover(server.display(), width, height, true);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double aloneBefore = server.cpu();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double alone = server.cpu() - aloneBefore;
        double total[2] = { 0, 0 }; // whole, crop
        int frames[2] = { 0, 0 };
        for (const bool cropped : { false, true, true, false }) {
            const StudioPhase phase = recordAsTheStudio(server, mover, backend, recorder, width, height,
                cropped ? std::optional<media::Rect>(crop) : std::nullopt, seconds);
            if (!phase.failure.empty()) {
                state.SkipWithError(phase.failure.c_str());
                return;
            }
            total[cropped] += phase.process + phase.server - alone;
            frames[cropped] += phase.frames;
        }
        const double whole = total[0] / frames[0], cropped = total[1] / frames[1];
        state.SetIterationTime(seconds);
        state.counters["whole_total_ms_per_frame"] = 1e3 * whole;
        state.counters["crop_total_ms_per_frame"] = 1e3 * cropped;
        state.counters["crop_over_whole"] = cropped / whole;
        state.counters["whole_frames_per_s"] = frames[0] / (2 * seconds);
        state.counters["crop_frames_per_s"] = frames[1] / (2 * seconds);
        state.counters["load"] = loadAverage();
    }
}
BENCHMARK(BM_X11CropAgainstWhole)
    ->Args({ 3840, 2160 })
    ->Args({ 1920, 1080 })
    ->Iterations(1)
    ->UseManualTime()
    ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
    ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); })
    ->Unit(benchmark::kSecond);

// The process's id recorded in a pid file of the Wayland desktop; 0 when none.
pid_t recordedPid(const std::string& state, const char* name)
{
    std::ifstream file(state + "/" + name + ".pid");
    pid_t pid = 0;
    file >> pid;
    return pid;
}

// CPU seconds of the calling thread, or of the whole process: clocks with
// nanosecond resolution (the tick counts of /proc are 10 ms coarse).
double threadCpuSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}
double processCpuSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// CPU seconds of this process's threads of the given name, from the scheduler's
// nanosecond run times (the tick counts of /proc/.../stat are 10 ms coarse).
double threadsCpuSeconds(const std::string& name)
{
    double total = 0;
    const std::filesystem::path tasks("/proc/self/task");
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream comm(task.path() / "comm");
        std::string threadName;
        std::getline(comm, threadName);
        if (threadName != name)
            continue;
        std::ifstream schedstat(task.path() / "schedstat");
        double nanoseconds = 0;
        if (schedstat >> nanoseconds)
            total += nanoseconds / 1e9;
        else
            total += cpuSeconds((task.path() / "stat").string());
    }
    return total;
}

long minorFaults()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Frames of four-byte pixels that do not all fit in the cache, as captured frames arrive.
std::vector<std::vector<std::uint8_t>> coldFrames(int width, int height)
{
    const std::size_t size = std::size_t(width) * std::size_t(height) * 4;
    std::vector<std::vector<std::uint8_t>> frames(4, std::vector<std::uint8_t>(size));
    for (auto& frame : frames)
        for (std::size_t i = 0; i < size; ++i)
            frame[i] = static_cast<std::uint8_t>(i * 7 + frames.size());
    return frames;
}

// The fastest of several rounds of `work` over the cold frames, in CPU seconds of this thread per frame.
template <typename Work> double fastestPerFrame(std::vector<std::vector<std::uint8_t>>& frames, Work work)
{
    double best = 1e9;
    constexpr int kRounds = 7, kFrames = 40;
    for (int round = 0; round < kRounds; ++round) {
        const double before = threadCpuSeconds();
        for (int i = 0; i < kFrames; ++i)
            work(frames[std::size_t(i) & 3]);
        best = std::min(best, (threadCpuSeconds() - before) / kFrames);
    }
    return best;
}

// One memcpy of a width × height frame of four-byte pixels: the least that
// reading a frame once can cost.
double memcpySeconds(int width, int height)
{
    auto frames = coldFrames(width, height);
    std::vector<std::uint8_t> copy(frames.front().size());
    return fastestPerFrame(frames, [&](const std::vector<std::uint8_t>& frame) {
        std::memcpy(copy.data(), frame.data(), frame.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    });
}

// The reduction alone: a width × height frame to 100 pixels wide, as the portal road does it.
double reductionSeconds(int width, int height, media::ScalerPath path = media::bestScalerPath())
{
    auto frames = coldFrames(width, height);
    const int targetHeight = height * 100 / width;
    std::vector<std::uint8_t> reduced(std::size_t(100) * std::size_t(targetHeight) * 4);
    return fastestPerFrame(frames, [&](const std::vector<std::uint8_t>& frame) {
        media::scaleArgb8888(
            { frame.data(), height, width, std::size_t(width) * 4 }, { reduced.data(), targetHeight, 100, 400 }, path);
        benchmark::DoNotOptimize(reduced.data());
        benchmark::ClobberMemory();
    });
}

// The Wayland road: a client repainting the whole 1920 × 1080 screen every
// frame, captured through the portal and PipeWire at 30 frames a second.
void BM_RecordPortal(benchmark::State& state)
{
    const char* bus = std::getenv("CORVEX_WAYLAND_BUS");
    const char* display = std::getenv("CORVEX_WAYLAND_DISPLAY");
    const char* runtime = std::getenv("CORVEX_WAYLAND_RUNTIME_DIR");
    const char* desktop = std::getenv("CORVEX_WAYLAND_STATE");
    if (!bus || !display || !runtime || !desktop) {
        state.SkipWithError("no headless Wayland desktop (start one with scripts/wayland-test-services)");
        return;
    }
    const double seconds = benchSeconds();
    const double copy = memcpySeconds(1920, 1080);
    const double reduction = reductionSeconds(1920, 1080);
    const double portableReduction = reductionSeconds(1920, 1080, media::ScalerPath::Portable);
    const double loadBefore = loadAverage();
    QTemporaryDir settings;
    portal::PortalBackend::Options options;
    options.address.busAddress = bus;
    options.store = portal::settingsChoiceStore(settings.filePath(QStringLiteral("corvex.ini")).toStdString());
    const std::shared_ptr<CaptureBackend> backend = portal::PortalBackend::create(options);
    const pid_t compositor = recordedPid(desktop, "sway");
    const pid_t portalBackend = recordedPid(desktop, "xdpw");
    const pid_t pipewire = recordedPid(desktop, "pipewire");
    auto cpuOf = [](pid_t pid) { return pid > 0 ? cpuSeconds(text("/proc/", pid, "/stat")) : 0.0; };
    LoopbackReceiver receiver;
    analysis::AnalysisRecorder recorder(nullptr);
    receiver.attach(recorder);
    for (auto _ : state) {
        // The painter, a process of its own.
        pid_t painter = -1;
        const std::string paint = text(CORVEX_TEST_TOOLS_DIR, "/wayland_paint");
        const std::string duration = text(int(seconds * 2 + 15));
        const char* argv[] = { paint.c_str(), "frame", duration.c_str(), nullptr };
        const std::string waylandDisplay = text("WAYLAND_DISPLAY=", display);
        const std::string runtimeDir = text("XDG_RUNTIME_DIR=", runtime);
        const char* envp[] = { waylandDisplay.c_str(), runtimeDir.c_str(), nullptr };
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn(&painter, paint.c_str(), &actions, nullptr, const_cast<char**>(argv), const_cast<char**>(envp));
        posix_spawn_file_actions_destroy(&actions);
        if (painter <= 0) {
            state.SkipWithError("the painting client could not be started");
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double compositorAloneBefore = cpuOf(compositor);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double compositorAlone = cpuOf(compositor) - compositorAloneBefore;

        recorder.start();
        SerialQueue video("bench.video");
        auto output = std::make_shared<CountingOutput>(recorder);
        StreamConfiguration configuration;
        configuration.width = 100;
        configuration.height = 56;
        configuration.minimumFrameInterval = media::MediaTime::make(1, 30);
        configuration.queueDepth = 5;
        configuration.showsCursor = false;
        const Display screenDisplay { 1, 1920, 1080, { 0, 0, 1920, 1080 }, "portal" };
        auto stream = std::make_unique<Stream>(
            backend, ContentFilter::forDisplay(screenDisplay, {}, {}), configuration, output);
        static_cast<void>(stream->addStreamOutput(output, StreamOutputType::Screen, video));
        stream->startCapture();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double processBefore = processCpuSeconds();
        const long faultsBefore = minorFaults();
        const double compositorBefore = cpuOf(compositor), portalBefore = cpuOf(portalBackend),
                     pipewireBefore = cpuOf(pipewire);
        const int framesBefore = output->frames;
        // The PipeWire thread takes each frame from its buffer and reduces it;
        // the video queue's thread turns it into colours and a datagram.
        const double pipeWireThreadBefore = threadsCpuSeconds("corvex-screen");
        const double videoQueueBefore = threadsCpuSeconds("bench.video");
        {
            std::lock_guard lock(output->mutex);
            output->fromStamp.clear();
            output->fromProcessArrival.clear();
            output->fromArrival.clear();
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double process = processCpuSeconds() - processBefore;
        const long faults = minorFaults() - faultsBefore;
        const double compositorWith = cpuOf(compositor) - compositorBefore;
        const double portalCpu = cpuOf(portalBackend) - portalBefore;
        const double pipewireCpu = cpuOf(pipewire) - pipewireBefore;
        const int frames = output->frames - framesBefore;
        const double pipeWireThread = threadsCpuSeconds("corvex-screen") - pipeWireThreadBefore;
        const double videoQueue = threadsCpuSeconds("bench.video") - videoQueueBefore;
        stream.reset();
        recorder.stop();
        kill(painter, SIGTERM);
        waitpid(painter, nullptr, 0);
        std::lock_guard lock(output->mutex);
        if (!output->failure.empty() || frames == 0) {
            state.SkipWithError(output->failure.empty() ? "no frames arrived" : output->failure.c_str());
            return;
        }
        state.SetIterationTime(seconds);
        state.counters["frames_per_s"] = frames / seconds;
        state.counters["process_cpu_pct"] = 100.0 * process / seconds;
        state.counters["cpu_per_frame_us"] = 1e6 * process / frames;
        state.counters["memcpy_us"] = 1e6 * copy;
        state.counters["per_frame_in_memcpys"] = process / frames / copy;
        state.counters["page_faults_per_frame"] = double(faults) / frames;
        state.counters["reduction_us"] = 1e6 * reduction;
        state.counters["reduction_in_memcpys"] = reduction / copy;
        state.counters["reduction_portable_in_memcpys"] = portableReduction / copy;
        state.counters["pipewire_thread_us_per_frame"] = 1e6 * pipeWireThread / frames;
        state.counters["video_queue_us_per_frame"] = 1e6 * videoQueue / frames;
        state.counters["compositor_us_per_frame"] = 1e6 * compositorWith / frames;
        state.counters["portal_us_per_frame"] = 1e6 * portalCpu / frames;
        state.counters["load"] = (loadBefore + loadAverage()) / 2;
        state.counters["compositor_cpu_pct"] = 100.0 * compositorWith / seconds;
        state.counters["compositor_added_cpu_pct"] = 100.0 * (compositorWith - compositorAlone) / seconds;
        state.counters["portal_cpu_pct"] = 100.0 * portalCpu / seconds;
        state.counters["pipewire_cpu_pct"] = 100.0 * pipewireCpu / seconds;
        state.counters["stamp_to_datagram_p50_ms"] = CountingOutput::percentile(output->fromStamp, 0.5);
        state.counters["stamp_to_datagram_p99_ms"] = CountingOutput::percentile(output->fromStamp, 0.99);
        state.counters["arrival_to_datagram_p50_ms"] = CountingOutput::percentile(output->fromProcessArrival, 0.5);
        state.counters["arrival_to_datagram_p99_ms"] = CountingOutput::percentile(output->fromProcessArrival, 0.99);
        state.counters["queue_to_datagram_p99_ms"] = CountingOutput::percentile(output->fromArrival, 0.99);
    }
}
BENCHMARK(BM_RecordPortal)
    ->Iterations(1)
    ->UseManualTime()
    ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
    ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); })
    ->Unit(benchmark::kSecond);

// From a frame's arrival on the video queue to its live colour datagram handed
// to a connected UDP socket (on loopback): crop and scale to 5 × 5, sampling,
// the message, the send. Reports the 50th and 99th percentiles.
void BM_FrameToDatagram(benchmark::State& state)
{
    LoopbackReceiver receiver;
    analysis::AnalysisRecorder recorder(nullptr);
    receiver.attach(recorder);
    recorder.start();
    capture::CaptureEngineStreamOutput output(recorder, nullptr);
    output.setCrop(media::Rect { 0.1, 0.1, 0.8, 0.8 });
    SampleBuffer frame = SampleBuffer::videoFrame(100, 56, media::MediaTime::fromNanoseconds(0));
    for (int i = 0; i < 100 * 56 * 4; ++i)
        frame.imageBuffer->baseAddress()[i] = static_cast<std::uint8_t>(i * 7);
    std::vector<double> latencies;
    std::int64_t time = 0;
    for (auto _ : state) {
        frame.outputPresentationTimeStamp = media::MediaTime::fromNanoseconds(time += 33'333'333);
        const auto start = std::chrono::steady_clock::now();
        output.didOutputSampleBuffer(frame, StreamOutputType::Screen);
        latencies.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    recorder.stop();
    std::sort(latencies.begin(), latencies.end());
    state.counters["p50_us"] = latencies[latencies.size() / 2];
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
}
BENCHMARK(BM_FrameToDatagram)->Iterations(20000);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
