#pragma once

// What both service test programs build on: a studio (a session and its uploads on a store
// and outbox of its own), recordings to upload, and the command-line tool run
// with XDG folders of its own.

#include "service/outbox.h"
#include "service/session.h"
#include "service/upload_delivery.h"

#include "analysis/video_analysis_record.h"
#include "catalogue/tmdb_item.h"
#include "platform/settings/store.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

using namespace Qt::StringLiterals;

namespace corvex::testing {

struct Studio {
    std::unique_ptr<QTemporaryDir> dir = std::make_unique<QTemporaryDir>();
    std::shared_ptr<settings::Store> store;
    std::shared_ptr<service::Outbox> outbox;
    std::unique_ptr<service::Session> manager;
    std::unique_ptr<service::UploadDelivery> uploads;
};

// Every endpoint at `origin`.
inline settings::Endpoints endpointsAt(const QString& origin)
{
    settings::Endpoints endpoints = settings::Endpoints::defaults();
    endpoints.service = endpoints.catalogue = endpoints.images = origin;
    return endpoints;
}

// A session and uploads on a fresh store and outbox (or the one in `outboxFolder`), talking to `origin`.
inline Studio makeStudio(
    const QString& origin, const std::optional<QString>& token = std::nullopt, const QString& outboxFolder = {})
{
    Studio studio;
    studio.store = std::make_shared<settings::Store>(studio.dir->filePath(u"corvex.ini"_s));
    if (token)
        studio.store->setValue(u"access_token"_s, *token);
    studio.outbox
        = std::make_shared<service::Outbox>(outboxFolder.isEmpty() ? studio.dir->filePath(u"outbox"_s) : outboxFolder);
    studio.manager
        = std::make_unique<service::Session>(service::Session::Configuration { studio.store, endpointsAt(origin) });
    studio.uploads = std::make_unique<service::UploadDelivery>(*studio.manager, studio.outbox);
    return studio;
}

inline catalogue::TMDBItem movieItem(qint64 id)
{
    return catalogue::TMDBItem::forMovie({ id, u"A film"_s, {}, {}, {} });
}

// A recording the service takes, of `frames` frames.
inline QByteArray validRecording(int frames = 3)
{
    VideoAnalysis record = analysis::initialVideoAnalysis();
    for (int k = 0; k < frames; ++k) {
        record.add_timestamps(static_cast<std::uint32_t>(k * 4));
        for (auto& channel : *record.mutable_channels()) {
            channel.add_r(static_cast<std::uint32_t>(k * 10));
            channel.add_g(20);
            channel.add_b(255);
        }
    }
    record.set_signature("sig");
    return QByteArray::fromStdString(*analysis::serializeVideoAnalysis(record));
}

// A recording the service refuses: a time stamp without colours.
inline QByteArray brokenRecording()
{
    VideoAnalysis record = analysis::initialVideoAnalysis();
    record.add_timestamps(1);
    return QByteArray::fromStdString(*analysis::serializeVideoAnalysis(record));
}

// The command-line tool with XDG folders of its own (its settings and outbox
// there), talking to `origin`. Runs while the test's event loop goes on, so
// a fault server in this process can answer it.
struct Tool {
    struct Run {
        int status = -1;
        QString out;
        QString err;
        QString all() const { return out + err; }
        /// Whether it ended with `expected` and said `text`, on standard output when it
        /// succeeded and on standard error when not; if not, warns what it did instead.
        bool says(int expected, const QString& text = {}) const
        {
            const bool as = status == expected && (expected == 0 ? out : err).contains(text);
            if (!as)
                qWarning("expected status %d and '%s', got %d: %s", expected, qPrintable(text), status,
                    qPrintable(all().left(600)));
            return as;
        }
    };

    explicit Tool(const QString& origin)
    {
        QDir(home.path()).mkpath(u"run"_s);
        QFile::setPermissions(
            home.filePath(u"run"_s), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        setFolders(home.filePath(u"config"_s), home.filePath(u"data"_s));
        environment.insert(u"XDG_RUNTIME_DIR"_s, home.filePath(u"run"_s));
        setOrigin(origin);
    }
    void setOrigin(const QString& origin)
    {
        environment.insert(u"CORVEX_SERVICE_URL"_s, origin);
        environment.insert(u"CORVEX_CATALOGUE_URL"_s, origin);
    }
    void setFolders(const QString& config, const QString& data)
    {
        environment.insert(u"XDG_CONFIG_HOME"_s, config);
        environment.insert(u"XDG_DATA_HOME"_s, data);
    }
    QString settingsPath() const { return environment.value(u"XDG_CONFIG_HOME"_s) + u"/corvex/corvex.ini"_s; }
    QString outboxPath() const { return environment.value(u"XDG_DATA_HOME"_s) + u"/corvex/outbox"_s; }
    void signIn(const QString& token) const { settings::Store(settingsPath()).setValue(u"access_token"_s, token); }
    std::optional<QString> token() const { return settings::Store(settingsPath()).value(u"access_token"_s); }

    Run operator()(const QStringList& arguments, const QByteArray& input = {}) const
    {
        QProcess process;
        process.setProcessEnvironment(environment);
        QEventLoop loop;
        QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(90000, &loop, &QEventLoop::quit);
        process.start(QStringLiteral(CORVEX_TOOL_BINARY), arguments);
        process.write(input);
        process.closeWriteChannel();
        if (process.state() != QProcess::NotRunning)
            loop.exec();
        return Run { process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError()) };
    }

    QTemporaryDir home;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
};

} // namespace corvex::testing
