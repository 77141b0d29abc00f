#pragma once

#include "platform/screencapture/capture_backend.h"
#include "platform/screencapture/portal/screen_cast_portal.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace corvex::screencapture::portal {

/// What the author chose in the desktop's dialog, kept between recordings and
/// between runs: the portal's restore token and the size of what was chosen.
struct PortalChoice {
    std::string restoreToken;
    int width = 0;
    int height = 0;
    std::uint32_t sourceType = 0; // kSourceMonitor or kSourceWindow; 0 when unknown

    friend bool operator==(const PortalChoice&, const PortalChoice&) = default;
};

/// Where the choice is kept. Called from capture threads.
class ChoiceStore {
public:
    virtual ~ChoiceStore() = default;
    virtual PortalChoice load() = 0;
    virtual void save(const PortalChoice& choice) = 0;
};

/// The choice in the studio's settings (the file at `path`, or the default
/// settings file when empty), under the keys "screencast_restore_token" and
/// "screencast_source".
std::shared_ptr<ChoiceStore> settingsChoiceStore(const std::string& path = {});

/// Captures what the author shares through the desktop's screen-cast portal
/// (Wayland desktops), and the system's sound through PulseAudio or
/// PipeWire's Pulse server. Applications cannot list displays or windows
/// there: the shareable content is the one source chosen in the desktop's
/// dialog, and the studio's own windows cannot be left out of it.
class PortalBackend final : public CaptureBackend, public DesktopChooser {
public:
    struct Options {
        PortalAddress address;
        std::shared_ptr<ChoiceStore> store; // null: the studio's settings
    };

    /// Never blocks: the portal is first asked when content or a stream is wanted.
    static std::shared_ptr<PortalBackend> create(Options options);

    std::string name() const override { return "portal"; }
    ShareableContentResult shareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly) override;
    SourceResult createVideoSource(const ContentFilter& filter, const StreamConfiguration& configuration) override;
    SourceResult createAudioSource(const StreamConfiguration& configuration) override;
    std::string unavailableAdvice() const override;
    DesktopChooser* desktopChooser() override { return this; }

    DesktopChoice desktopChoice() override;
    bool offersWindows() override;
    void chooseAgain() override;

    /// Forgets the remembered choice, so that the next capture asks the author again.
    void forgetChoice();
    /// The remembered choice (empty token when none).
    PortalChoice choice();

    struct Shared;

private:
    explicit PortalBackend(std::shared_ptr<Shared> shared);
    std::shared_ptr<Shared> m_shared;
};

} // namespace corvex::screencapture::portal
