#pragma once

// The reference service's sign-in form, filled in as a browser would: the
// page first (for its hidden fields and the cookie that goes with them), then
// the form; the callback comes back in the answer's Refresh header.

#include "service/sign_in.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrl>
#include <QUrlQuery>

#include <QCoroNetworkReply>
#include <QCoroTask>

#include <memory>

namespace corvex::testing {

/// The callback a signed-in page returns to ("0; url=corvexapp://..."), or empty.
inline QUrl callbackOf(const QByteArray& refresh)
{
    const qsizetype at = refresh.indexOf("url=");
    return at < 0 ? QUrl() : QUrl::fromEncoded(refresh.mid(at + 4));
}

struct FormAnswer {
    int status = 0;
    QUrl callback;
    QByteArray body;
};

/// Opens `page` and submits its form with `action` ("signin" or "create").
inline QCoro::Task<FormAnswer> submitSignInForm(QUrl page, QString email, QString password, QByteArray action)
{
    QNetworkAccessManager network; // keeps the page's cookie for the form
    std::unique_ptr<QNetworkReply> form(co_await network.get(QNetworkRequest(page)));
    const QByteArray fields = service::hiddenFormFields(form->readAll());
    if (fields.isEmpty())
        co_return FormAnswer {};
    QNetworkRequest post(page.resolved(QUrl(QStringLiteral("/auth/signin"))));
    post.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    const QByteArray body = fields + "email=" + QUrl::toPercentEncoding(email)
        + "&password=" + QUrl::toPercentEncoding(password) + "&action=" + action;
    std::unique_ptr<QNetworkReply> answer(co_await network.post(post, body));
    co_return FormAnswer { answer->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
        callbackOf(answer->rawHeader("Refresh")), answer->readAll() };
}

} // namespace corvex::testing
