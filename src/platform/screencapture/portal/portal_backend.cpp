#include "platform/screencapture/portal/portal_backend.h"

#include "platform/screencapture/portal/pipewire_video_stream.h"
#include "platform/screencapture/pulse/pulse_audio_source.h"

#include <condition_variable>
#include <thread>

namespace corvex::screencapture::portal {

struct PortalBackend::Shared {
    /// A running capture that can be told to ask the author again.
    class Asker {
    public:
        virtual void askAgain() = 0;

    protected:
        ~Asker() = default;
    };

    PortalAddress address;
    std::shared_ptr<ChoiceStore> store;

    std::mutex probeMutex; // guards the probe connection, which may wait for the portal
    std::unique_ptr<ScreenCastPortal> probe;

    // Guards the store, and is taken before stateMutex: held from reading or
    // writing the store until `remembered` says the same.
    std::mutex storeMutex;
    // Guards what follows, which the windows read: held only for a copy, never across a call.
    std::mutex stateMutex;
    std::optional<PortalStream> current; // what the capture of this run shows
    PortalChoice remembered; // as last read from or written to the store
    std::uint32_t sourceTypes = 0; // as the portal last said
    std::vector<Asker*> askers;

    PortalChoice load()
    {
        std::lock_guard storeLock(storeMutex);
        const PortalChoice choice = store->load();
        std::lock_guard lock(stateMutex);
        remembered = choice;
        return choice;
    }
    void save(const PortalChoice& choice)
    {
        std::lock_guard storeLock(storeMutex);
        saveLocked(choice);
    }
    void saveLocked(const PortalChoice& choice)
    {
        store->save(choice);
        std::lock_guard lock(stateMutex);
        remembered = choice;
    }
    void started(const PortalStream& stream, std::uint32_t offered)
    {
        std::lock_guard lock(stateMutex);
        current = stream;
        sourceTypes = offered;
    }
    /// The size of what is shared, learnt from its stream where the portal did not say it.
    void sized(PortalChoice choice, int width, int height)
    {
        // From the check to the write: a choice forgotten meanwhile is never written back.
        std::lock_guard storeLock(storeMutex);
        {
            std::lock_guard lock(stateMutex);
            if (!current || remembered.restoreToken != choice.restoreToken)
                return; // the author chose again meanwhile: what was forgotten stays forgotten
            current->width = width;
            current->height = height;
        }
        choice.width = width;
        choice.height = height;
        saveLocked(choice);
    }
};

namespace {

/// One portal session and its PipeWire stream, set up and watched on a thread
/// of its own, so that neither the author's time in the desktop's dialog nor a
/// portal that does not answer holds up the stream's control thread.
class PortalVideoSource final : public StreamSource, public PortalBackend::Shared::Asker {
public:
    /// `wanted`: what the desktop's dialog may offer (only windows on the window road).
    PortalVideoSource(
        std::shared_ptr<PortalBackend::Shared> shared, const StreamConfiguration& configuration, std::uint32_t wanted)
        : m_shared(std::move(shared))
        , m_configuration(configuration)
        , m_wanted(wanted)
    {
    }

    ~PortalVideoSource() override
    {
        {
            std::lock_guard lock(m_shared->stateMutex);
            std::erase(m_shared->askers, this);
        }
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
        {
            std::lock_guard lock(m_shared->stateMutex);
            m_shared->askers.push_back(this);
        }
        m_thread = std::thread([this] { run(); });
    }

    void askAgain() override
    {
        std::lock_guard lock(m_mutex);
        m_askAgain = true;
        m_changed.notify_all();
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

    Result<PortalCast, CaptureError> startCast(ScreenCastPortal& portal, const PortalInfo& info)
    {
        PortalChoice choice = m_shared->load();
        // On the window road the dialog offers only windows where the portal
        // has them; a remembered display is then asked for again.
        PortalInfo asked = info;
        if (asked.sourceTypes & m_wanted) {
            asked.sourceTypes &= m_wanted;
            if (choice.sourceType != 0 && (choice.sourceType & m_wanted) == 0)
                choice.restoreToken.clear();
        }
        Result<PortalCast, CaptureError> cast = portal.start(asked, choice.restoreToken);
        if (!cast && !choice.restoreToken.empty() && !stopping() && cast.error.code == CaptureError::NoDisplay) {
            // A token the portal cannot honour (say, for a monitor that is gone)
            // must not lock the author out: forget it and ask.
            m_shared->save({});
            portal.close();
            cast = portal.start(asked, {});
        }
        return cast;
    }

    /// A session with the desktop and its PipeWire stream; null after telling the sink why not.
    std::unique_ptr<PipeWireVideoStream> startStream(ScreenCastPortal& portal, const PortalInfo& info)
    {
        {
            // Asking now answers every "choose again" so far: one dialog, however often the author pressed.
            std::lock_guard lock(m_mutex);
            m_askAgain = false;
        }
        Result<PortalCast, CaptureError> started = startCast(portal, info);
        if (!started) {
            if (!stopping())
                fail(started.error);
            return nullptr;
        }
        const PortalCast& cast = *started.value;
        const PortalStream& chosen = cast.streams.front();
        m_choice = { cast.restoreToken, chosen.width, chosen.height, chosen.sourceType };
        m_shared->save(m_choice);
        m_shared->started(chosen, info.sourceTypes);
        portal.setClosedHandler([this](CaptureError closed) { fail(std::move(closed)); });
        PipeWireVideoStream::Events events;
        events.frame = [this](SampleBuffer frame) { m_sink->deliverVideo(std::move(frame)); };
        events.failure = [this](CaptureError failure) { fail(std::move(failure)); };
        auto connected
            = PipeWireVideoStream::connect({ cast.pipeWireFd, {}, chosen.nodeId }, m_configuration, std::move(events));
        if (!connected) {
            fail(std::move(connected.error));
            return nullptr;
        }
        return std::move(*connected.value);
    }

    /// Some portals do not say how large the shared window is (KDE's): its
    /// stream does, once it has agreed on a format.
    void learnSize(const PipeWireVideoStream& stream)
    {
        if (m_choice.width > 0 && m_choice.height > 0)
            return;
        const PipeWireVideoStream::Statistics negotiated = stream.statistics();
        if (negotiated.width <= 0 || negotiated.height <= 0)
            return;
        m_shared->sized(m_choice, negotiated.width, negotiated.height);
        m_choice.width = negotiated.width;
        m_choice.height = negotiated.height;
    }

    /// Watches the stream until it stops; true when the author wants to choose again.
    bool watch(PipeWireVideoStream& stream)
    {
        // Frames come only when the picture changes, so silence alone says
        // nothing; the stream tells whether its producer is still there.
        std::unique_lock lock(m_mutex);
        while (!m_stopping && !m_failed && !m_askAgain) {
            m_changed.wait_for(lock, std::chrono::milliseconds(200));
            if (m_stopping || m_failed || m_askAgain)
                break;
            lock.unlock();
            stream.check();
            learnSize(stream);
            lock.lock();
        }
        const bool again = m_askAgain && !m_stopping && !m_failed;
        m_askAgain = false;
        return again;
    }

    void run()
    {
        auto connected = ScreenCastPortal::connect(m_shared->address);
        if (!connected) {
            fail(std::move(connected.error));
            return;
        }
        std::unique_ptr<ScreenCastPortal> portal = std::move(*connected.value);
        {
            std::lock_guard lock(m_mutex);
            m_portal = portal.get();
            if (m_stopping)
                portal->cancel();
        }
        if (auto info = portal->probe()) {
            // The same sink all along: what was recorded before the author chose
            // again stays, and the new source's frames follow it.
            while (std::unique_ptr<PipeWireVideoStream> stream = startStream(*portal, *info.value)) {
                const bool again = watch(*stream);
                stream.reset();
                portal->close();
                if (!again)
                    break;
            }
        } else {
            fail(std::move(info.error));
        }
        portal->close();
        {
            std::lock_guard lock(m_mutex);
            m_portal = nullptr;
        }
        portal.reset();
    }

    const std::shared_ptr<PortalBackend::Shared> m_shared;
    const StreamConfiguration m_configuration;
    const std::uint32_t m_wanted;
    StreamSink* m_sink = nullptr;
    std::mutex m_mutex; // guards what follows
    std::condition_variable m_changed;
    bool m_stopping = false;
    bool m_failed = false;
    bool m_askAgain = false;
    ScreenCastPortal* m_portal = nullptr; // while the thread has one
    PortalChoice m_choice; // what the running stream shows; the thread's own
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
        std::lock_guard lock(m_shared->probeMutex);
        if (!m_shared->probe) {
            auto connected = ScreenCastPortal::connect(m_shared->address);
            if (connected)
                m_shared->probe = std::move(*connected.value);
            else
                error = std::move(connected.error);
        }
        if (m_shared->probe) {
            auto probed = m_shared->probe->probe();
            if (probed)
                info = std::move(*probed.value);
            else
                error = std::move(probed.error);
        }
    }
    if (!info)
        return ShareableContentResult::failure(error);
    {
        std::lock_guard lock(m_shared->stateMutex);
        m_shared->sourceTypes = info->sourceTypes;
    }
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
    if (info->sourceTypes & kSourceWindow) {
        // Likewise one entry for the window road, where the dialog offers single windows.
        Window window;
        window.windowID = 1;
        window.frame = display.frame;
        window.title = chosen.sourceType == kSourceWindow ? "The window chosen in the desktop's dialog"
                                                          : "Chosen in the desktop's dialog";
        window.owningApplication = RunningApplication { "Desktop", "desktop-dialog", 0 };
        content.windows.push_back(std::move(window));
    }
    return ShareableContentResult::success(std::move(content));
}

SourceResult PortalBackend::createVideoSource(const ContentFilter& filter, const StreamConfiguration& configuration)
{
    if (filter.kind == ContentFilter::Kind::Display ? !filter.display : !filter.window)
        return SourceResult::failure(
            { CaptureError::InvalidParameter, "The content filter names nothing to capture." });
    return SourceResult::success(std::make_unique<PortalVideoSource>(m_shared, configuration,
        filter.kind == ContentFilter::Kind::Window ? kSourceWindow : kSourceMonitor | kSourceWindow));
}

SourceResult PortalBackend::createAudioSource(const StreamConfiguration& configuration)
{
    return pulse::PulseAudioSource::create(configuration);
}

std::string PortalBackend::unavailableAdvice() const
{
    return "On Wayland, Corvex Studio records the screen through the desktop's screen-cast portal. Install your "
           "desktop's xdg-desktop-portal backend (xdg-desktop-portal-gnome, -kde or -wlr) and allow screen sharing, "
           "or log in to an X11 session";
}

void PortalBackend::forgetChoice()
{
    m_shared->save({});
}

DesktopChoice PortalBackend::desktopChoice()
{
    std::lock_guard lock(m_shared->stateMutex);
    std::uint32_t type = 0;
    DesktopChoice choice;
    if (m_shared->current) {
        type = m_shared->current->sourceType;
        choice.width = m_shared->current->width;
        choice.height = m_shared->current->height;
    } else if (!m_shared->remembered.restoreToken.empty()) {
        type = m_shared->remembered.sourceType;
        choice.width = m_shared->remembered.width;
        choice.height = m_shared->remembered.height;
    } else {
        return {};
    }
    // A portal that does not say what it started shares a display: windows came later.
    choice.kind = type == kSourceWindow ? DesktopChoice::Kind::window : DesktopChoice::Kind::display;
    return choice;
}

bool PortalBackend::offersWindows()
{
    std::lock_guard lock(m_shared->stateMutex);
    return (m_shared->sourceTypes & kSourceWindow) != 0;
}

void PortalBackend::chooseAgain()
{
    forgetChoice();
    std::lock_guard lock(m_shared->stateMutex);
    m_shared->current.reset();
    for (Shared::Asker* asker : m_shared->askers)
        asker->askAgain();
}

PortalChoice PortalBackend::choice()
{
    return m_shared->load();
}

} // namespace corvex::screencapture::portal
