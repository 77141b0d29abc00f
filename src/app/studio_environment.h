#pragma once

namespace corvex::service {
class Session;
}
namespace corvex::webauth {
class Session;
}

namespace corvex::app {

class AccountRetry;
class ImageCache;
class LightShowNotes;
class OutboxRetry;
class RecordingWindows;
class UploadQueue;

/// What every window of the studio reads from the application: the signed-in
/// state, the browser sign-in, the poster cache, the uploads waiting in the
/// outbox, the recording windows, the account's retries, the outbox's own
/// and the notes kept of uploaded shows. Handed down through the constructors;
/// all of it lives as long as the application.
struct StudioEnvironment {
    service::Session& session;
    webauth::Session& signInSession;
    ImageCache& images;
    UploadQueue& uploads;
    RecordingWindows& recordingWindows;
    AccountRetry& accountRetry;
    LightShowNotes& notes;
    OutboxRetry& outboxRetry;
};

} // namespace corvex::app
