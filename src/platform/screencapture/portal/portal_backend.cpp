#include "platform/screencapture/portal/portal_backend.h"

#include "platform/screencapture/portal/pipewire_video_stream.h"
#include "platform/screencapture/pulse/pulse_audio_source.h"

#include <condition_variable>
#include <thread>

namespace corvex::screencapture::portal {

struct PortalBackend::Shared {
    PortalAddress address;
    std::shared_ptr<ChoiceStore> store;

    std::mutex mutex; // guards the probe connection and the store
    std::unique_ptr<ScreenCastPortal> probe;

    PortalChoice load()
    {
        std::lock_guard lock(mutex);
        return store->load();
    }
    void save(const PortalChoice& choice)
    {
        std::lock_guard lock(mutex);
        store->save(choice);
    }
};

namespace {

/// One portal session and its PipeWire stream, set up and watched on a thread
/// of its own, so that neither the author's time in the desktop's dialog nor a
/// portal that does not answer holds up the stream's control thread.
class PortalVideoSource final : public StreamSource {
public:
    PortalVideoSource(std::shared_ptr<PortalBackend::Shared> shared, const StreamConfiguration& configuration)
        : m_shared(std::move(shared))
        , m_configuration(configuration)
    {
    }

    ~PortalVideoSource() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
            if (m_portal)
                m_portal->cancel();
            m_changed.notify_all();
        }
        if (m_thread.joinable())
            m_thread.join();
    }

    void start(StreamSink& sink) override
    {
        m_sink = &sink;
        m_thread = std::thread([this] { run(); });
    }

private:
    bool stopping()
    {
        std::lock_guard lock(m_mutex);
        return m_stopping;
    }

    void fail(CaptureError error)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_failed || m_stopping)
                return;
            m_failed = true;
            m_changed.notify_all();
        }
        m_sink->fail(std::move(error));
    }

    std::optional<PortalCast> startCast(ScreenCastPortal& portal, const PortalInfo& info, CaptureError& error)
    {
        PortalChoice choice = m_shared->load();
        std::optional<PortalCast> cast = portal.start(info, choice.restoreToken, error);
        if (!cast && !choice.restoreToken.empty() && !stopping() && error.code == CaptureError::NoDisplay) {
            // A token the portal cannot honour (say, for a monitor that is gone)
            // must not lock the author out: forget it and ask.
            m_shared->save({});
            portal.close();
            cast = portal.start(info, {}, error);
        }
        return cast;
    }

    void run()
    {
        CaptureError error;
        std::unique_ptr<ScreenCastPortal> portal = ScreenCastPortal::connect(m_shared->address, error);
        if (!portal) {
            fail(error);
            return;
        }
        {
            std::lock_guard lock(m_mutex);
            m_portal = portal.get();
            if (m_stopping)
                portal->cancel();
        }
        std::unique_ptr<PipeWireVideoStream> stream;
        if (std::optional<PortalInfo> info = portal->probe(error)) {
            if (std::optional<PortalCast> cast = startCast(*portal, *info, error)) {
                const PortalStream& chosen = cast->streams.front();
                m_shared->save({ cast->restoreToken, chosen.width, chosen.height, chosen.sourceType });
                portal->setClosedHandler([this](CaptureError closed) { fail(std::move(closed)); });
                PipeWireVideoStream::Events events;
                events.frame = [this](SampleBuffer frame) { m_sink->deliverVideo(std::move(frame)); };
                events.failure = [this](CaptureError failure) { fail(std::move(failure)); };
                stream = PipeWireVideoStream::connect(
                    { cast->pipeWireFd, {}, chosen.nodeId }, m_configuration, std::move(events), error);
                if (!stream)
                    fail(error);
            } else if (!stopping()) {
                fail(error);
            }
        } else {
            fail(error);
        }
        // The watchdog: frames come only when the picture changes, so silence
        // alone says nothing; the stream tells whether its producer is still there.
        {
            std::unique_lock lock(m_mutex);
            while (!m_stopping && !m_failed && stream) {
                m_changed.wait_for(lock, std::chrono::milliseconds(200));
                if (m_stopping || m_failed)
                    break;
                lock.unlock();
                stream->check();
                lock.lock();
            }
        }
        stream.reset();
        portal->close();
        {
            std::lock_guard lock(m_mutex);
            m_portal = nullptr;
        }
        portal.reset();
    }

    const std::shared_ptr<PortalBackend::Shared> m_shared;
    const StreamConfiguration m_configuration;
    StreamSink* m_sink = nullptr;
    std::mutex m_mutex; // guards what follows
    std::condition_variable m_changed;
    bool m_stopping = false;
    bool m_failed = false;
    ScreenCastPortal* m_portal = nullptr; // while the thread has one
    std::thread m_thread; // last: joined before the rest goes
};

} // namespace

PortalBackend::PortalBackend(std::shared_ptr<Shared> shared)
    : m_shared(std::move(shared))
{
}

std::shared_ptr<PortalBackend> PortalBackend::create(Options options)
{
    auto shared = std::make_shared<Shared>();
    shared->address = std::move(options.address);
    shared->store = options.store ? std::move(options.store) : settingsChoiceStore();
    return std::shared_ptr<PortalBackend>(new PortalBackend(std::move(shared)));
}

ShareableContentResult PortalBackend::shareableContent(bool, bool)
{
    CaptureError error;
    std::optional<PortalInfo> info;
    {
        std::lock_guard lock(m_shared->mutex);
        if (!m_shared->probe)
            m_shared->probe = ScreenCastPortal::connect(m_shared->address, error);
        if (m_shared->probe)
            info = m_shared->probe->probe(error);
    }
    if (!info)
        return { std::nullopt, error };
    const PortalChoice chosen = choice();
    // Nothing can be listed on Wayland: the one entry stands for whatever the
    // author picks (or picked) in the desktop's dialog.
    Display display;
    display.displayID = 1;
    display.width = chosen.width > 0 ? chosen.width : 1920;
    display.height = chosen.height > 0 ? chosen.height : 1080;
    display.frame = { 0, 0, double(display.width), double(display.height) };
    display.name = chosen.restoreToken.empty() ? "Chosen in the desktop's dialog"
        : chosen.sourceType == kSourceWindow   ? "The window chosen in the desktop's dialog"
                                               : "The screen chosen in the desktop's dialog";
    ShareableContent content;
    content.displays.push_back(display);
    return { std::move(content), {} };
}

std::unique_ptr<StreamSource> PortalBackend::createVideoSource(
    const ContentFilter& filter, const StreamConfiguration& configuration, CaptureError& error)
{
    if (filter.kind == ContentFilter::Kind::Display ? !filter.display : !filter.window) {
        error = { CaptureError::InvalidParameter, "The content filter names nothing to capture." };
        return nullptr;
    }
    return std::make_unique<PortalVideoSource>(m_shared, configuration);
}

std::unique_ptr<StreamSource> PortalBackend::createAudioSource(
    const StreamConfiguration& configuration, CaptureError& error)
{
    return pulse::PulseAudioSource::create(configuration, error);
}

std::string PortalBackend::unavailableAdvice() const
{
    return "On Wayland, Corvex Studio records the screen through the desktop's screen-cast portal. Install your "
           "desktop's xdg-desktop-portal backend (xdg-desktop-portal-gnome, -kde or -wlr) and allow screen sharing, "
           "or log in to an X11 session, then open a new Recording window.";
}

void PortalBackend::forgetChoice()
{
    m_shared->save({});
}

PortalChoice PortalBackend::choice()
{
    return m_shared->load();
}

} // namespace corvex::screencapture::portal
